/* The input both example programs start from: a 4x2 24-bit BMP, all white,
 * written into the current directory (or the one given) as in.bmp. */
#ifndef VORLIN_INSTALL_APP_BMP_H
#define VORLIN_INSTALL_APP_BMP_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

static void put32(unsigned char *p, uint32_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

/* 54 header bytes and two 12-byte rows. */
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

/* ASCII path to wide characters (the example's paths are ASCII). */
static void widen(const char *text, wchar_t *wide, size_t size) {
    size_t i = 0;
    for (; text[i] != '\0' && i + 1 < size; ++i) wide[i] = (wchar_t)(unsigned char)text[i];
    wide[i] = L'\0';
}

/* DIR/in.bmp, DIR/resized.bmp, DIR/eroded.bmp as narrow and wide paths. */
static int make_paths(int argc, char **argv, char path[3][200], wchar_t wide[3][200]) {
    const char *dir = argc > 1 ? argv[1] : ".";
    const char *names[3] = {"in.bmp", "resized.bmp", "eroded.bmp"};
    if (argc > 2 || strlen(dir) > 150) return 0;
    for (int i = 0; i < 3; ++i) {
        snprintf(path[i], 200, "%s/%s", dir, names[i]);
        widen(path[i], wide[i], 200);
    }
    return write_input(path[0]);
}

#endif
