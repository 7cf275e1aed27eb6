// BMPSizeChecker, the one export of VorlinProbe: converts the path, reads the
// leading header fields and answers the height, width or bit depth. Every
// message goes to standard error; 999 means "no answer" (and is also the
// answer for a BMP that really is 999 wide or high).
#include <cstdio>
#include <cstdlib>

#include "header_probe.h"
#include "path_convert.h"
#include "vorlin/vorlin.h"

namespace {

int32_t probe_call(const wchar_t* path, int32_t query) {
  // The converted temporary is used as it is, so a path of any length works.
  // A null pointer converts to ""; a temporary that could not be allocated is
  // treated the same way, so either fails to open like any missing file.
  char* converted = convert_path(path);
  const char* file_path = converted != nullptr ? converted : "";

  BmpHeaderFields fields = {};
  bool read = read_bmp_header(file_path, &fields.file_header, &fields.info_header);
  free(converted);
  if (!read) {
    fputs("Failed to read BMP file information\n", stderr);
    return VORLIN_PROBE_NO_ANSWER;
  }

  switch (query) {
    case VORLIN_QUERY_HEIGHT: return fields.info_header.height;
    case VORLIN_QUERY_WIDTH: return fields.info_header.width;
    case VORLIN_QUERY_BITS: return fields.info_header.bits_per_pixel;
    default: return VORLIN_PROBE_NO_ANSWER;
  }
}

}  // namespace

extern "C" VORLIN_API int32_t BMPSizeChecker(const wchar_t* path, int32_t query) {
  int32_t answer = probe_call(path, query);
  // Every line of the call is out when the host gets the answer, even if it
  // writes to the same streams or merges them.
  fflush(stdout);
  fflush(stderr);
  return answer;
}
