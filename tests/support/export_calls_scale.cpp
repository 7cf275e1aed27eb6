// BMPResizers by each route; see export_calls.h.
#include "export_calls.h"
#include "resize_entry.h"
#include "vorlin/vorlin.h"

std::vector<ExportRoute> resize_routes(const char* module_path) {
  std::vector<ExportRoute> routes;
  if (module_path != nullptr) routes.push_back({"module", module_path, "BMPResizers", nullptr, nullptr});
  for (size_t i = 0; i < kResampleKernelSetCount; ++i) {
    const ResampleKernelSet& set = kResampleKernelSets[i];
    if (set.available()) routes.push_back({set.name, nullptr, nullptr, &set, nullptr});
  }
  return routes;
}

int32_t run_resize(const ExportRoute& route, const wchar_t* in, const wchar_t* out, int32_t width,
                   int32_t height) {
  if (route.resample != nullptr) return resize_with_kernels(in, out, width, height, *route.resample);
  return reinterpret_cast<VorlinResizeFn>(module_export(route))(in, out, width, height);
}

ExportCall call_resize(const ExportRoute& route, const wchar_t* in, const wchar_t* out,
                       int32_t width, int32_t height) {
  begin_capture();
  int32_t status = run_resize(route, in, out, width, height);
  Captured captured = end_capture();
  return {status, captured.out, captured.err};
}

ExportCall call_resize(const ExportRoute& route, const std::string& in, const std::string& out,
                       int32_t width, int32_t height) {
  std::wstring win = widen(in), wout = widen(out);
  return call_resize(route, win.c_str(), wout.c_str(), width, height);
}
