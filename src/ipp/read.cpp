#include "read.h"

#include <cups/cups.h>

#include <atomic>
#include <chrono>

#include "clean_text.h"

namespace ipp {

namespace {

constexpr char wants_login_text[] = "no IPP answer (the printer wants a login)";

const char* const requested[] = {"printer-firmware-name", "printer-firmware-string-version",
                                 "printer-make-and-model", "printer-uuid", "printer-name", "printer-device-id"};

struct Bound {
    std::chrono::steady_clock::time_point deadline;
    int* cancel;
};

// Called by the library each second a request waits: 0 ends the wait.
int still_waiting(http_t*, void* data) {
    const Bound* bound = static_cast<const Bound*>(data);
    bool cancelled = std::atomic_ref<int>(*bound->cancel).load() != 0;
    return std::chrono::steady_clock::now() < bound->deadline && !cancelled ? 1 : 0;
}

std::vector<std::string> values_of(ipp_t* response, const char* name) {
    std::vector<std::string> values;
    ipp_attribute_t* attribute = ippFindAttribute(response, name, IPP_TAG_ZERO);
    for (int i = 0; attribute != nullptr && i < ippGetCount(attribute); ++i) {
        const char* value = ippGetString(attribute, i, nullptr);
        values.push_back(one_line(cut_text(value != nullptr ? value : "", kept_text_bytes)));
    }
    return values;
}

std::string first_value(ipp_t* response, const char* name) {
    std::vector<std::string> values = values_of(response, name);
    return values.empty() ? std::string() : values[0];
}

std::string upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string trimmed(const std::string& text) {
    std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos) return std::string();
    return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

// The library's own answer to a printer that asks for a login is a prompt
// on the terminal, without end, and the password typed would go to the
// printer in the clear: no credentials are ever given.
const char* no_password(const char*, http_t*, const char*, const char*, void*) { return nullptr; }
const char* no_token(http_t*, const char*, const char*, const char*, void*) { return nullptr; }

// The library keeps these callbacks per thread, and its default password
// callback reads /dev/tty: each thread that asks sets them before it asks.
void never_ask_the_operator() {
    cupsSetPasswordCB2(no_password, nullptr);
    cupsSetOAuthCB(no_token, nullptr);
}

// An HTTP 401 the library had no credentials for: it reports it as
// cancelled (HTTP status 1000, IPP status 0x1000), not as the 401.
bool wants_login(http_t* http) {
    http_status_t status = httpGetStatus(http);
    ipp_status_t error = cupsLastError();
    return status == HTTP_STATUS_UNAUTHORIZED || status == HTTP_STATUS_CUPS_AUTHORIZATION_CANCELED ||
           error == IPP_STATUS_ERROR_NOT_AUTHENTICATED || error == IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED;
}

std::string last_error_text() {
    const char* said = cupsLastErrorString();
    return said != nullptr ? said : "";
}

ipp_t* attributes_request(const std::string& host) {
    char uri[1024];
    httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, host.c_str(), 631, "/ipp/print");
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(sizeof requested / sizeof requested[0]), nullptr, requested);
    return request;
}

void read_answer(ipp_t* response, IppAnswer& answer) {
    ipp_status_t status = ippGetStatusCode(response);
    if (status == IPP_STATUS_ERROR_NOT_AUTHENTICATED) {
        answer.problem = wants_login_text;
        return;
    }
    // Any successful status will do: a printer that ignores an attribute
    // it does not know answers "successful-ok-ignored-or-substituted".
    if (status > IPP_STATUS_OK_EVENTS_COMPLETE) {
        answer.problem = std::string("IPP answered ") + ippErrorString(status);
        return;
    }
    answer.firmware_names = values_of(response, "printer-firmware-name");
    answer.firmware_versions = values_of(response, "printer-firmware-string-version");
    answer.make_and_model = first_value(response, "printer-make-and-model");
    answer.uuid = first_value(response, "printer-uuid");
    answer.name = first_value(response, "printer-name");
    answer.serial = one_line(cut_text(serial_of_device_id(first_value(response, "printer-device-id")), kept_text_bytes));
}

}  // namespace

IppAnswer ask_printer(const std::string& host, const ReadBounds& bounds, int* cancel) {
    IppAnswer answer;
    never_ask_the_operator();
    Bound bound{std::chrono::steady_clock::now() + std::chrono::milliseconds(bounds.request_ms), cancel};
    // IPv4 only: a name given here can never lead to an IPv6 address.
    http_t* http =
        httpConnect2(host.c_str(), 631, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED, 1, bounds.connect_ms, cancel);
    if (http == nullptr) {
        answer.problem = "no IPP answer (Unable to connect to \"" + host + "\" on port 631 - " + last_error_text() + ")";
        return answer;
    }
    httpSetTimeout(http, 1.0, still_waiting, &bound);
    ipp_t* response = cupsDoRequest(http, attributes_request(host), "/ipp/print");
    if (response == nullptr && wants_login(http)) {
        answer.problem = wants_login_text;
    } else if (response == nullptr) {
        std::string said = last_error_text();
        answer.problem = said.empty() ? "no IPP answer" : "no IPP answer (" + said + ")";
    } else {
        read_answer(response, answer);
        ippDelete(response);
    }
    httpClose(http);
    return answer;
}

std::string serial_of_device_id(const std::string& device_id) {
    std::size_t start = 0;
    while (start < device_id.size()) {
        std::size_t end = device_id.find(';', start);
        if (end == std::string::npos) end = device_id.size();
        std::string pair = device_id.substr(start, end - start);
        std::size_t colon = pair.find(':');
        if (colon != std::string::npos) {
            std::string key = upper(trimmed(pair.substr(0, colon)));
            if (key == "SN" || key == "SERN" || key == "SERIALNUMBER") return trimmed(pair.substr(colon + 1));
        }
        start = end + 1;
    }
    return std::string();
}

bool firmware_version(const IppAnswer& answer, const std::string& name, std::string* version, std::string* why) {
    if (!answer.problem.empty()) {
        *why = answer.problem;
        return false;
    }
    std::size_t i = 0;
    if (!name.empty()) {
        while (i < answer.firmware_names.size() && answer.firmware_names[i] != name) ++i;
        if (i == answer.firmware_names.size()) {
            *why = "no firmware named " + name;
            return false;
        }
    }
    if (i >= answer.firmware_versions.size()) {
        *why = "no printer-firmware-string-version";
        return false;
    }
    *version = answer.firmware_versions[i];
    return true;
}

}  // namespace ipp
