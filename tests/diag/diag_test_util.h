// The name under which the heap tests (tests/mem) still reach the shared log
// capture; it goes when they include log_capture.h themselves.
#pragma once

#include "log_capture.h"

namespace diagtest = rtktest;
