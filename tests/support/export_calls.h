// The routes a test calls an export by, and one call function per export.
// The module route loads the built module as a host loads it (dlopen, or
// LoadLibrary on Windows), whose export picks the CPU's best kernel set;
// each set route runs the same entry in-process with one kernel set this
// CPU has given, so that every set runs the whole call: the same messages,
// status codes and output bytes are expected of each. Suites are gtest
// value-parameterised over the routes, the route's name in the test name.
//
// The calls of each module live in a file of their own in this library, so
// a test links only the module objects of the exports it calls.
#ifndef VORLIN_TESTS_EXPORT_CALLS_H
#define VORLIN_TESTS_EXPORT_CALLS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "test_support.h"

struct ResampleKernelSet;
struct ErodeKernelSet;

struct ExportRoute {
  std::string name;                    // "module", or the kernel set's name
  const char* module_path;             // the module route: the built module; else null
  const char* export_name;             // and its export
  const ResampleKernelSet* resample;   // a set route of BMPResizers
  const ErodeKernelSet* erode;         // a set route of BMPErosion
};

// The module route first when module_path is given, then every kernel set
// available on this CPU, best first. The probe has no kernel sets: its only
// route is the module.
std::vector<ExportRoute> resize_routes(const char* module_path);
std::vector<ExportRoute> erode_routes(const char* module_path);
std::vector<ExportRoute> probe_routes(const char* module_path);

// A route's name, for messages and as the test name's suffix.
void PrintTo(const ExportRoute& route, std::ostream* out);
std::string route_test_name(const ::testing::TestParamInfo<ExportRoute>& info);

// A module route's export, its module loaded on first use (a test that
// forks asks first, so that the children do not each load it).
void* module_export(const ExportRoute& route);

// The bare calls: nothing captured and nothing allocated around the export
// (the allocation-failure sweeps count every block of the call).
int32_t run_resize(const ExportRoute& route, const wchar_t* in, const wchar_t* out, int32_t width,
                   int32_t height);
int32_t run_erode(const ExportRoute& route, const wchar_t* in, const wchar_t* out,
                  int32_t passes);
int32_t run_probe(const ExportRoute& route, const wchar_t* in, int32_t query);

// A call with standard output and error captured. The wide forms pass a
// null path on as null.
struct ExportCall {
  int32_t status;
  std::string out;
  std::string err;
};
ExportCall call_resize(const ExportRoute& route, const wchar_t* in, const wchar_t* out,
                       int32_t width, int32_t height);
ExportCall call_resize(const ExportRoute& route, const std::string& in, const std::string& out,
                       int32_t width, int32_t height);
ExportCall call_erode(const ExportRoute& route, const wchar_t* in, const wchar_t* out,
                      int32_t passes);
ExportCall call_erode(const ExportRoute& route, const std::string& in, const std::string& out,
                      int32_t passes);
ExportCall call_probe(const ExportRoute& route, const wchar_t* in, int32_t query);
ExportCall call_probe(const ExportRoute& route, const std::string& in, int32_t query);

#endif  // VORLIN_TESTS_EXPORT_CALLS_H
