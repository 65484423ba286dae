#include "snmp_library.h"

#include <mutex>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

namespace find {

namespace {

// The library's messages (a socket it could not open, a packet it could not
// parse) are the source's business, not the user's: the source reports what
// it found, and an address that cannot be asked is simply not found.
const char* const unmakeable_folder = "/dev/null/holm-find";

int discard_message(int, int, void*, void*) { return 1; }

void start_once() {
    // The machine's snmp.conf could change the version, the community, the
    // time-outs or the MIBs; a persistent folder would be written on exit.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, 1);
    // Even so, the start makes a certificate index folder in the persistent
    // folder and looks for certificates under the configuration folders.
    // Below a file no folder can be made or found: nothing is written, and
    // no certificate of the machine is read.
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR, unmakeable_folder);
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_CONFIGURATION_DIR, unmakeable_folder);
    // Numeric OIDs only: no MIB folder is searched, so none is parsed or
    // indexed and no "Cannot find module" reaches standard error.
    netsnmp_set_mib_directory("");
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_WARNINGS, 0);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_ERRORS, 0);
    snmp_disable_log();
    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_CALLBACK, LOG_DEBUG);
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, discard_message, nullptr);
    init_snmp("holm-find");
}

}  // namespace

void start_snmp_library() {
    static std::once_flag once;
    std::call_once(once, start_once);
}

}  // namespace find
