// BMPSizeChecker by its one route; see export_calls.h.
#include "export_calls.h"
#include "vorlin/vorlin.h"

std::vector<ExportRoute> probe_routes(const char* module_path) {
  return {{"module", module_path, "BMPSizeChecker", nullptr, nullptr}};
}

int32_t run_probe(const ExportRoute& route, const wchar_t* in, int32_t query) {
  return reinterpret_cast<VorlinProbeFn>(module_export(route))(in, query);
}

ExportCall call_probe(const ExportRoute& route, const wchar_t* in, int32_t query) {
  begin_capture();
  int32_t status = run_probe(route, in, query);
  Captured captured = end_capture();
  return {status, captured.out, captured.err};
}

ExportCall call_probe(const ExportRoute& route, const std::string& in, int32_t query) {
  std::wstring win = widen(in);
  return call_probe(route, win.c_str(), query);
}
