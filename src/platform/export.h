#pragma once

// The library exports what a host may use and hides everything else.
#define TALLYFOLD_EXPORT __attribute__((visibility("default")))
