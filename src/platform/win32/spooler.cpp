#include "platform/platform.h"

#include <windows.h>
#include <winspool.h>

namespace plat {

namespace {

HANDLE handle(Printer printer) { return reinterpret_cast<HANDLE>(printer); }

}  // namespace

Printer spool_open(const char* printer_name) {
    HANDLE printer = nullptr;
    // The API takes a writable name though it never changes it.
    if (!OpenPrinterA(const_cast<char*>(printer_name), &printer, nullptr)) return 0;
    return reinterpret_cast<Printer>(printer);
}

int spool_start_doc(Printer printer, const char* doc_name, const char* data_type) {
    DOC_INFO_1A info;
    info.pDocName = const_cast<char*>(doc_name);
    info.pOutputFile = nullptr;
    info.pDatatype = const_cast<char*>(data_type);
    return StartDocPrinterA(handle(printer), 1, reinterpret_cast<LPBYTE>(&info)) == 0 ? 1 : 0;
}

int spool_start_page(Printer printer) { return StartPagePrinter(handle(printer)) ? 0 : 1; }

int spool_write(Printer printer, const void* data, std::uint32_t length, std::uint32_t* written) {
    DWORD count = 0;
    BOOL ok = WritePrinter(handle(printer), const_cast<void*>(data), length, &count);
    *written = count;
    return ok ? 0 : 1;
}

int spool_end_page(Printer printer) { return EndPagePrinter(handle(printer)) ? 0 : 1; }

int spool_end_doc(Printer printer) { return EndDocPrinter(handle(printer)) ? 0 : 1; }

void spool_close(Printer printer) {
    if (printer != 0) ClosePrinter(handle(printer));
}

}  // namespace plat
