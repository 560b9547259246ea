// Facts about the process and the machine.
#ifndef VX_PF_SYSTEM_H
#define VX_PF_SYSTEM_H

#include <cstdint>
#include <string>

namespace pf {

uint32_t ProcessorCount();
uint32_t ProcessId();

// The folder (without a trailing separator) of the module that contains the
// library code, and of the running executable. Empty when unknown.
std::string ModuleFolder();
std::string ExecutableFolder();

// The separator of path components on this platform.
char PathSeparator();

}  // namespace pf

#endif
