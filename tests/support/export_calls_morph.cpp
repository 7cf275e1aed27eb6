// BMPErosion by each route; see export_calls.h.
#include "erosion_entry.h"
#include "export_calls.h"
#include "vorlin/vorlin.h"

std::vector<ExportRoute> erode_routes(const char* module_path) {
  std::vector<ExportRoute> routes;
  if (module_path != nullptr) routes.push_back({"module", module_path, "BMPErosion", nullptr, nullptr});
  for (size_t i = 0; i < kErodeKernelSetCount; ++i) {
    const ErodeKernelSet& set = kErodeKernelSets[i];
    if (set.available()) routes.push_back({set.name, nullptr, nullptr, nullptr, &set});
  }
  return routes;
}

int32_t run_erode(const ExportRoute& route, const wchar_t* in, const wchar_t* out,
                  int32_t passes) {
  if (route.erode != nullptr) return erode_with_kernels(in, out, passes, *route.erode);
  return reinterpret_cast<VorlinErodeFn>(module_export(route))(in, out, passes);
}

ExportCall call_erode(const ExportRoute& route, const wchar_t* in, const wchar_t* out,
                      int32_t passes) {
  begin_capture();
  int32_t status = run_erode(route, in, out, passes);
  Captured captured = end_capture();
  return {status, captured.out, captured.err};
}

ExportCall call_erode(const ExportRoute& route, const std::string& in, const std::string& out,
                      int32_t passes) {
  std::wstring win = widen(in), wout = widen(out);
  return call_erode(route, win.c_str(), wout.c_str(), passes);
}
