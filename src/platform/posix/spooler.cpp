#include "platform/platform.h"

#include <cups/cups.h>
#include <string>

namespace plat {

namespace {

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
    cups_dest_t* dest = cupsGetNamedDest(CUPS_HTTP_DEFAULT, printer_name, nullptr);
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
    job->id = cupsCreateJob(CUPS_HTTP_DEFAULT, job->name.c_str(), doc_name, 0, nullptr);
    return job->id == 0 ? 1 : 0;
}

int spool_start_page(Printer printer) {
    Job* job = job_of(printer);
    http_status_t status = cupsStartDocument(CUPS_HTTP_DEFAULT, job->name.c_str(), job->id,
                                             job->doc_name.c_str(), CUPS_FORMAT_RAW, 1);
    if (status != HTTP_STATUS_CONTINUE) return 1;
    job->document_started = true;
    return 0;
}

int spool_write(Printer printer, const void* data, std::uint32_t length, std::uint32_t* written) {
    Job* job = job_of(printer);
    if (cupsWriteRequestData(CUPS_HTTP_DEFAULT, static_cast<const char*>(data), length) != HTTP_STATUS_CONTINUE) {
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
        cupsFinishDocument(CUPS_HTTP_DEFAULT, job->name.c_str()) == IPP_STATUS_OK)
        return 0;
    // Finishing a partial or empty document would print it, and a job whose
    // end the server refused would stay queued, to print later or twice once
    // the data is sent again; withdraw it instead.
    if (job->id != 0) cupsCancelJob2(CUPS_HTTP_DEFAULT, job->name.c_str(), job->id, 0);
    return 1;
}

void spool_close(Printer printer) {
    if (printer == 0) return;
    Job* job = job_of(printer);
    cupsFreeDests(1, job->dest);
    delete job;
}

}  // namespace plat
