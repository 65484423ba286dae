// net-snmp's library, started once per process for the SNMP source.
#pragma once

namespace find {

// Initialises libsnmp the first time it is called (any thread; later calls
// wait for the first): no configuration read from the machine, no MIB
// loaded, no persistent state read or written, nothing logged.
void start_snmp_library();

}  // namespace find
