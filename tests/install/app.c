/* A C program linked against the three installed modules: it writes a small
 * 24-bit BMP into the directory given (default: the current one), resizes
 * it, erodes the result and probes both, and exits 0 only when every answer
 * is the expected one. */
#include <stdio.h>

#include <vorlin/vorlin.h>

#include "app_bmp.h"

static int failures = 0;

static void expect(const char *what, int32_t got, int32_t want) {
    if (got != want) {
        fprintf(stderr, "app: %s gave %d, expected %d\n", what, (int)got, (int)want);
        ++failures;
    }
}

int main(int argc, char **argv) {
    char path[3][200];
    wchar_t wide[3][200];
    if (!make_paths(argc, argv, path, wide)) {
        fprintf(stderr, "usage: app [DIR] (at most 150 characters, writable)\n");
        return 2;
    }
    expect("BMPResizers", BMPResizers(wide[0], wide[1], 8, 4), VORLIN_RESIZE_OK);
    expect("width of the resized file", BMPSizeChecker(wide[1], VORLIN_QUERY_WIDTH), 8);
    expect("height of the resized file", BMPSizeChecker(wide[1], VORLIN_QUERY_HEIGHT), 4);
    expect("BMPErosion", BMPErosion(wide[1], wide[2], 1), VORLIN_ERODE_OK);
    expect("bits of the eroded file", BMPSizeChecker(wide[2], VORLIN_QUERY_BITS), 8);
    expect("width of the eroded file", BMPSizeChecker(wide[2], VORLIN_QUERY_WIDTH), 8);
    if (failures != 0) return 1;
    printf("app: all modules answered\n");
    return 0;
}
