#include "platform/platform.h"

#include <cups/cups.h>
#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace plat {

namespace {

// The CUPS client library and the thirty libraries it pulls in cost most of
// a start, and only the spooler needs them: they are loaded at its first use.
// The header gives the functions' types; nothing links against the library.
constexpr const char* cups_soname = "libcups.so.2";

struct Cups {
    decltype(&cupsGetNamedDest) get_named_dest;
    decltype(&cupsFreeDests) free_dests;
    decltype(&cupsCreateJob) create_job;
    decltype(&cupsStartDocument) start_document;
    decltype(&cupsWriteRequestData) write_request_data;
    decltype(&cupsFinishDocument) finish_document;
    decltype(&cupsCancelJob2) cancel_job;
};

Cups cups;

template <typename Function>
bool look_up(void* library, const char* name, Function* slot) {
    *slot = reinterpret_cast<Function>(dlsym(library, name));
    return *slot != nullptr;
}

bool load_cups() {
    void* library = dlopen(cups_soname, RTLD_NOW | RTLD_LOCAL);
    return library != nullptr && look_up(library, "cupsGetNamedDest", &cups.get_named_dest) &&
           look_up(library, "cupsFreeDests", &cups.free_dests) &&
           look_up(library, "cupsCreateJob", &cups.create_job) &&
           look_up(library, "cupsStartDocument", &cups.start_document) &&
           look_up(library, "cupsWriteRequestData", &cups.write_request_data) &&
           look_up(library, "cupsFinishDocument", &cups.finish_document) &&
           look_up(library, "cupsCancelJob2", &cups.cancel_job);
}

// Loads the library once per run. When it cannot be had, the one line that
// says why goes to standard error (nothing above this layer knows the
// library), and each open fails as one of a missing printer would.
bool cups_ready() {
    static const bool ready = [] {
        if (load_cups()) return true;
        std::fprintf(stderr, "%s: cannot use the CUPS client library: %s\n", program_invocation_name, dlerror());
        return false;
    }();
    return ready;
}

// What one raw job needs between the steps: libcups addresses a job by the
// queue's name and number, and a document it has begun must be either
// finished or cancelled, never left open.
struct Job {
    std::string name;
    std::string doc_name;
    cups_dest_t* dest = nullptr;
    int id = 0;
    bool document_started = false;
    bool write_failed = false;
};

Job* job_of(Printer printer) { return reinterpret_cast<Job*>(printer); }

}  // namespace

Printer spool_open(const char* printer_name) {
    if (!cups_ready()) return 0;
    cups_dest_t* dest = cups.get_named_dest(CUPS_HTTP_DEFAULT, printer_name, nullptr);
    if (dest == nullptr) return 0;
    Job* job = new Job;
    job->name = printer_name;
    job->dest = dest;
    return reinterpret_cast<Printer>(job);
}

int spool_start_doc(Printer printer, const char* doc_name, const char*) {
    // Every document goes out raw: the data is the printer's own language
    // and no filter may touch it, whatever type the caller names.
    Job* job = job_of(printer);
    job->doc_name = doc_name;
    job->id = cups.create_job(CUPS_HTTP_DEFAULT, job->name.c_str(), doc_name, 0, nullptr);
    return job->id == 0 ? 1 : 0;
}

int spool_start_page(Printer printer) {
    Job* job = job_of(printer);
    http_status_t status = cups.start_document(CUPS_HTTP_DEFAULT, job->name.c_str(), job->id,
                                               job->doc_name.c_str(), CUPS_FORMAT_RAW, 1);
    if (status != HTTP_STATUS_CONTINUE) return 1;
    job->document_started = true;
    return 0;
}

int spool_write(Printer printer, const void* data, std::uint32_t length, std::uint32_t* written) {
    Job* job = job_of(printer);
    if (cups.write_request_data(CUPS_HTTP_DEFAULT, static_cast<const char*>(data), length) != HTTP_STATUS_CONTINUE) {
        job->write_failed = true;
        *written = 0;
        return 1;
    }
    *written = length;
    return 0;
}

// A page is no unit of a raw job here.
int spool_end_page(Printer) { return 0; }

int spool_end_doc(Printer printer) {
    Job* job = job_of(printer);
    if (job->document_started && !job->write_failed &&
        cups.finish_document(CUPS_HTTP_DEFAULT, job->name.c_str()) == IPP_STATUS_OK)
        return 0;
    // Finishing a partial or empty document would print it, and a job whose
    // end the server refused would stay queued, to print later or twice once
    // the data is sent again; withdraw it instead.
    if (job->id != 0) cups.cancel_job(CUPS_HTTP_DEFAULT, job->name.c_str(), job->id, 0);
    return 1;
}

void spool_close(Printer printer) {
    if (printer == 0) return;
    Job* job = job_of(printer);
    cups.free_dests(1, job->dest);
    delete job;
}

}  // namespace plat
