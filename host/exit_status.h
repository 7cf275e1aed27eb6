// Exit statuses of the host itself.
#ifndef VORLIN_HOST_EXIT_STATUS_H
#define VORLIN_HOST_EXIT_STATUS_H

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;    // the module reported a failure (its messages say why)
constexpr int kExitUsage = 2;     // bad command line; no module was loaded
constexpr int kExitNoModule = 3;  // no file of the module in any directory searched
constexpr int kExitHost = 5;      // the host failed: a module file it cannot load, a
                                  // directory or file it cannot make, its own output

#endif  // VORLIN_HOST_EXIT_STATUS_H
