// A folder of sample files against a manifest of what each opens as, and the
// command-line tool's `info` on each of them.
#pragma once

#include <map>
#include <set>
#include <string>

namespace vorn::test {

// What a file opens as through vnOpen: "error N", or size, depth, the
// frame's transparent colour, whether the layer's alpha is in effect, and a
// checksum of the composite's and the alpha channel's rows.
std::string OpenOutcome(const std::string &path);

// Opens every file below folder whose extension is one of extensions and
// compares the outcomes with folder/outcomes.txt (rewritten instead when
// VORN_WRITE_GOLDEN is set). Runs `vorn info` on each file too: it must
// succeed exactly when vnOpen does and print the same size and depth.
void CheckCorpusManifest(const std::string &folder, const std::set<std::string> &extensions);

// Compares what each file opened as (file name -> outcome) with a manifest
// of "file<TAB>outcome" lines; rewrites the manifest instead when
// VORN_WRITE_GOLDEN is set.
void CheckAgainstManifest(const std::map<std::string, std::string> &actual,
                          const std::string &manifest);

}  // namespace vorn::test
