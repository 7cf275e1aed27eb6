// The demo command: sample pictures drawn in code, so that the demo needs no
// file from anywhere else, and every module found run on them.
#ifndef VORLIN_HOST_DEMO_H
#define VORLIN_HOST_DEMO_H

#include <string>

// Draws the samples into dir (made when missing), then resizes, erodes and
// probes them and the results; the exit status.
int run_demo(const std::string& dir);

#endif  // VORLIN_HOST_DEMO_H
