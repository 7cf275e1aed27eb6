/* A C program linked against the three installed modules: it writes a small
 * 24-bit BMP into the directory given, resizes it, erodes the result and
 * probes both, and exits 0 only when every answer is the expected one. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <vorlin/vorlin.h>

static int failures = 0;

static void expect(const char *what, int32_t got, int32_t want) {
    if (got != want) {
        fprintf(stderr, "consumer: %s gave %d, expected %d\n", what, (int)got, (int)want);
        ++failures;
    }
}

/* ASCII path to wide characters (the test directory is ASCII). */
static void widen(const char *text, wchar_t *wide, size_t size) {
    size_t i = 0;
    for (; text[i] != '\0' && i + 1 < size; ++i) wide[i] = (wchar_t)(unsigned char)text[i];
    wide[i] = L'\0';
}

static void put32(unsigned char *p, uint32_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

/* 4x2, 24-bit, all white: 54 header bytes and two 12-byte rows. */
static int write_input(const char *path) {
    unsigned char bmp[54 + 24];
    memset(bmp, 0, sizeof bmp);
    bmp[0] = 'B';
    bmp[1] = 'M';
    put32(bmp + 2, sizeof bmp);
    put32(bmp + 10, 54);
    put32(bmp + 14, 40);
    put32(bmp + 18, 4);
    put32(bmp + 22, 2);
    bmp[26] = 1;
    bmp[28] = 24;
    memset(bmp + 54, 0xFF, 24);
    FILE *file = fopen(path, "wb");
    if (file == NULL) return 0;
    size_t written = fwrite(bmp, 1, sizeof bmp, file);
    return fclose(file) == 0 && written == sizeof bmp;
}

int main(int argc, char **argv) {
    if (argc != 2 || strlen(argv[1]) > 150) {
        fprintf(stderr, "usage: vorlin_consumer DIR (at most 150 characters)\n");
        return 2;
    }
    char path[3][200];
    wchar_t wide[3][200];
    const char *names[3] = {"in.bmp", "resized.bmp", "eroded.bmp"};
    for (int i = 0; i < 3; ++i) {
        snprintf(path[i], sizeof path[i], "%s/%s", argv[1], names[i]);
        widen(path[i], wide[i], 200);
    }
    if (!write_input(path[0])) {
        fprintf(stderr, "consumer: cannot write %s\n", path[0]);
        return 1;
    }
    expect("BMPResizers", BMPResizers(wide[0], wide[1], 8, 4), VORLIN_RESIZE_OK);
    expect("width of the resized file", BMPSizeChecker(wide[1], VORLIN_QUERY_WIDTH), 8);
    expect("height of the resized file", BMPSizeChecker(wide[1], VORLIN_QUERY_HEIGHT), 4);
    expect("BMPErosion", BMPErosion(wide[1], wide[2], 1), VORLIN_ERODE_OK);
    expect("bits of the eroded file", BMPSizeChecker(wide[2], VORLIN_QUERY_BITS), 8);
    expect("width of the eroded file", BMPSizeChecker(wide[2], VORLIN_QUERY_WIDTH), 8);
    if (failures != 0) return 1;
    printf("consumer: all modules answered\n");
    return 0;
}
