#include "ipp_source.h"

#include <algorithm>
#include <cctype>
#include <thread>

#include "platform/find.h"
#include "ranges.h"
#include "uuid.h"

namespace find {

namespace {

// The IPP port: the only one discovery opens. A raw print port prints
// whatever arrives on it, and a console port may change the printer.
constexpr std::uint16_t ipp_port = 631;

// The form IPP gives a printer-uuid: "urn:uuid:" and the dashed hex.
bool is_uuid_urn(const std::string& text) {
    static const std::string prefix = "urn:uuid:";
    if (text.size() != prefix.size() + 36 || normal_uuid(text).empty()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    return true;
}

// Why the values cannot be a printer's, or empty.
std::string nonsense(const ipp::IppAnswer& answer) {
    if (answer.make_and_model.empty()) return "it gave no printer-make-and-model";
    // IPP bounds a make-and-model to 127 bytes: a longer one is not a
    // printer's own.
    if (answer.make_and_model.size() > 127) return "its printer-make-and-model is longer than 127 bytes";
    if (!answer.uuid.empty() && !is_uuid_urn(answer.uuid)) return "its printer-uuid is not a urn:uuid: " + answer.uuid;
    return std::string();
}

}  // namespace

Sighting sighting_of_answer(const std::string& address, const ipp::IppAnswer& answer) {
    Sighting s;
    s.address = address;
    s.via = "ipp";
    s.has_ipp = true;
    s.problem = answer.problem.empty() ? nonsense(answer) : answer.problem;
    if (!s.problem.empty()) return s;
    s.model = answer.make_and_model;
    std::string why;
    ipp::firmware_version(answer, "", &s.firmware, &why);
    s.uuid = answer.uuid;
    s.serial = answer.serial;
    s.name = answer.name;
    return s;
}

std::vector<Sighting> read_addresses(const std::vector<std::string>& addresses, const IppBounds& bounds,
                                     const std::atomic<bool>& stop) {
    std::vector<Sighting> found(addresses.size());
    std::atomic<std::size_t> next{0};
    int cancel = 0;
    auto serve = [&] {
        ipp::ReadBounds read{bounds.connect_ms, bounds.request_ms};
        for (std::size_t i = next++; i < addresses.size() && !stop.load(); i = next++)
            found[i] = sighting_of_answer(addresses[i], ipp::ask_printer(addresses[i], read, &cancel));
    };
    std::vector<std::thread> threads;
    std::size_t count = std::min(bounds.threads, addresses.size());
    for (std::size_t i = 0; i < count; ++i) threads.emplace_back(serve);
    for (std::thread& t : threads) t.join();
    // Those a stop left unasked.
    std::erase_if(found, [](const Sighting& s) { return s.address.empty(); });
    return found;
}

std::vector<Sighting> ipp_sightings(const std::vector<std::uint32_t>& addresses, const IppBounds& bounds,
                                    const std::atomic<bool>& stop,
                                    const std::function<void(std::size_t done)>& progress) {
    plat::ConnectScan scan{ipp_port, bounds.connect_ms, bounds.in_flight};
    std::vector<std::string> open;
    for (std::uint32_t a : plat::accepting_addresses(addresses, scan, stop, progress)) open.push_back(address_text(a));
    return read_addresses(open, bounds, stop);
}

}  // namespace find
