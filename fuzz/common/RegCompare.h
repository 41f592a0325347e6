#pragma once
// Compares two registry key trees as a reader sees them: names, sub-keys and
// values with their types and bytes. Whether a key was only implied by the
// keys below it is a detail of the file's layout and is not compared.

#include "platform/registry/RegTree.h"

#include <string>

namespace fuzz {

// Empty when equal, otherwise where the trees first differ.
std::string TreeDifference(const platform::reg::Key& A, const platform::reg::Key& B);

} // namespace fuzz
