// File mappings backed by the paging file, as CreateFileMappingW and MapViewOfFile give them.
// A named mapping is one object for every process of the module: a file under the module's
// ram/, mapped shared, so it holds its bytes until the module restarts (a restart clears
// ram/). Without an open module a named mapping is known inside this process only.
#pragma once

#include <cstddef>

namespace host {

/// Makes the next `count` CreateFileMappingW calls fail with ERROR_NOT_ENOUGH_MEMORY.
void FailCreateFileMapping(int count);
/// Makes the next `count` MapViewOfFile calls fail with ERROR_NOT_ENOUGH_MEMORY.
void FailMapViewOfFile(int count);

/// Views of this process not yet unmapped, for leak checks in tests.
std::size_t MappedViewCount();

}  // namespace host
