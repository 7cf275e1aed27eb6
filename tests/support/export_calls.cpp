// What the routes of every export share; see export_calls.h.
#include "export_calls.h"

#include <cstring>

namespace {
struct Loaded {
  std::string path;
  std::string symbol;
  void* fn;
};
}  // namespace

void* module_export(const ExportRoute& route) {
  static std::vector<Loaded> loaded;
  for (const Loaded& l : loaded) {
    if (l.path == route.module_path && l.symbol == route.export_name) return l.fn;
  }
  void* fn = load_module_symbol(route.module_path, route.export_name);
  loaded.push_back({route.module_path, route.export_name, fn});
  return fn;
}

void PrintTo(const ExportRoute& route, std::ostream* out) { *out << route.name; }

std::string route_test_name(const ::testing::TestParamInfo<ExportRoute>& info) {
  return info.param.name;
}
