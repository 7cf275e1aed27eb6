/* Vorlin: the exports of the three BMP modules, their status and query codes,
 * and function-pointer types for hosts that load the modules at run time.
 * Usable from C and C++. Each module exports exactly one of these functions. */
#ifndef VORLIN_VORLIN_H
#define VORLIN_VORLIN_H

#include <stdint.h>
#include <wchar.h>

#if defined(_WIN32)
#if defined(VORLIN_BUILDING_MODULE)
#define VORLIN_API __declspec(dllexport)
#else
#define VORLIN_API __declspec(dllimport)
#endif
#elif defined(VORLIN_BUILDING_MODULE)
#define VORLIN_API __attribute__((visibility("default")))
#else
#define VORLIN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes of BMPResizers. */
enum {
  VORLIN_RESIZE_BAD_SIZE = 1,      /* width or height below 1 */
  VORLIN_RESIZE_LOAD_FAILED = 2,   /* the input could not be loaded (or its path is too long) */
  VORLIN_RESIZE_CREATE_FAILED = 3, /* the resized image could not be created */
  /* the output could not be opened or written (or its path is too long) */
  VORLIN_RESIZE_SAVE_FAILED = 4,
  VORLIN_RESIZE_OK = 999
};

/* Status codes of BMPErosion. */
enum {
  VORLIN_ERODE_FAILED = 1, /* any failure; the module has printed why */
  VORLIN_ERODE_OK = 999
};

/* Erosion pass limits. */
enum { VORLIN_ERODE_MIN_PASSES = 1, VORLIN_ERODE_MAX_PASSES = 100 };

/* Query codes of BMPSizeChecker. Any other code, and any failure, answers 999. */
enum {
  VORLIN_QUERY_HEIGHT = 1,     /* signed height as stored (negative: top-down) */
  VORLIN_QUERY_WIDTH = 2,      /* signed width as stored */
  VORLIN_QUERY_BITS = 3,       /* bits per pixel, zero-extended */
  VORLIN_PROBE_NO_ANSWER = 999 /* a failure, an unknown query, or a real value of 999 */
};

/* VorlinScale: resize a 2, 8, 16, 24 or 32-bit BMP to width x height. */
VORLIN_API int32_t BMPResizers(const wchar_t* input_path, const wchar_t* output_path, int32_t width,
                               int32_t height);

/* VorlinMorph: 1 to 100 passes of four-neighbour erosion; writes an 8-bit gray BMP. */
VORLIN_API int32_t BMPErosion(const wchar_t* input_path, const wchar_t* output_path,
                              int32_t passes);

/* VorlinProbe: answer the height, width or bit depth stored in a BMP's headers. */
VORLIN_API int32_t BMPSizeChecker(const wchar_t* path, int32_t query);

typedef int32_t (*VorlinResizeFn)(const wchar_t*, const wchar_t*, int32_t, int32_t);
typedef int32_t (*VorlinErodeFn)(const wchar_t*, const wchar_t*, int32_t);
typedef int32_t (*VorlinProbeFn)(const wchar_t*, int32_t);

#ifdef __cplusplus
}
#endif

#endif /* VORLIN_VORLIN_H */
