// Everything a benchmark program uses: integers, barriers, records, input/output and
// the entry point.
#pragma once

#include "bench32/barrier.hpp"
#include "bench32/entry.hpp"
#include "bench32/int.hpp"
#include "bench32/io.hpp"
#include "bench32/record.hpp"
