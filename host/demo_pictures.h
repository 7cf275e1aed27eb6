// Built-in sample pictures for `vorlin demo`, drawn in code so that the demo
// needs no file from anywhere else.
#ifndef VORLIN_HOST_DEMO_PICTURES_H
#define VORLIN_HOST_DEMO_PICTURES_H

#include <string>

struct DemoSample {
  const char* name;  // file name inside the demo directory
  int width;
  int height;
  int bits;
};

// The samples, in the order the demo uses them; count in *count.
const DemoSample* demo_samples(int* count);

// Draws and writes one sample; 1 on success, 0 after printing why.
int write_demo_sample(const DemoSample& sample, const std::string& path);

#endif  // VORLIN_HOST_DEMO_PICTURES_H
