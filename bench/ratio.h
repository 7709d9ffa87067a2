// Runs the registered benchmarks and reports each one as a ratio to the
// reference of its group, measured in the same run. Benchmarks are named
// "group/what"; the reference of a group is "group/reference", and a group
// may have further ones, "group/reference_<name>", reported as "vs <name>".
#pragma once

namespace vorn::bench {

int RunWithRatios(int argc, char **argv);

}  // namespace vorn::bench
