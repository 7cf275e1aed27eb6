# Read by CPack before it makes each package (CPACK_PROJECT_CONFIG_FILE):
# tells the install scripts, which CPack runs in the same process, which
# package they install for. The tar.gz's pkg-config files find their prefix
# from where they lie (cmake/VorlinWritePc.cmake.in).
set(ENV{VORLIN_CPACK_GENERATOR} "${CPACK_GENERATOR}")
