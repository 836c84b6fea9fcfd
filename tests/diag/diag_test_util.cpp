// Compiled into the heap tests by tests/mem/extra.cmake; the capture itself
// is in tests/support/log_capture.cpp. It goes with diag_test_util.h.
