/* A host that loads the installed modules at run time, as vorlin does: each
 * by its soname, which the loader looks for in this program's run path. It
 * runs the same calls as app.c through the function pointers it finds. */
#include <dlfcn.h>
#include <stdio.h>

#include <vorlin/vorlin.h>

#include "app_bmp.h"

static void *load(const char *soname, const char *symbol) {
    void *lib = dlopen(soname, RTLD_NOW);
    void *fn = lib != NULL ? dlsym(lib, symbol) : NULL;
    if (fn == NULL) fprintf(stderr, "dlopen_app: %s\n", dlerror());
    return fn;
}

int main(int argc, char **argv) {
    char path[3][200];
    wchar_t wide[3][200];
    if (!make_paths(argc, argv, path, wide)) {
        fprintf(stderr, "usage: dlopen_app [DIR] (at most 150 characters, writable)\n");
        return 2;
    }
    VorlinResizeFn resize = (VorlinResizeFn)load("libVorlinScale.so.1", "BMPResizers");
    VorlinErodeFn erode = (VorlinErodeFn)load("libVorlinMorph.so.1", "BMPErosion");
    VorlinProbeFn probe = (VorlinProbeFn)load("libVorlinProbe.so.1", "BMPSizeChecker");
    if (resize == NULL || erode == NULL || probe == NULL) return 1;
    if (resize(wide[0], wide[1], 8, 4) != VORLIN_RESIZE_OK || probe(wide[1], VORLIN_QUERY_WIDTH) != 8 ||
        erode(wide[1], wide[2], 1) != VORLIN_ERODE_OK || probe(wide[2], VORLIN_QUERY_BITS) != 8) {
        fprintf(stderr, "dlopen_app: a module gave an unexpected answer\n");
        return 1;
    }
    printf("dlopen_app: all modules answered\n");
    return 0;
}
