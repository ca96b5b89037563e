// Precompiled into every C++ source of the SDK's libraries when MEASUREMENT_PRECOMPILE_HEADERS is on:
// what most of them include.
#pragma once
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Object.h"
