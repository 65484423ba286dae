#include "output.h"

#include "ipp/clean_text.h"

namespace find {

namespace {

std::string joined(const std::vector<std::string>& items, const char* between) {
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : between) + ipp::one_line(item);
    return out;
}

// A '#' line says nothing by an empty value: a dash stands for it.
std::string shown(const std::string& value) { return value.empty() ? "-" : ipp::one_line(value); }

std::string json_list(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + ipp::json_string(items[i]);
    return out + "]";
}

}  // namespace

std::string printers_text(const std::vector<Printer>& printers) {
    std::string out;
    for (const Printer& p : printers) {
        out += "# " + shown(p.model) + "; firmware " + shown(p.firmware) + "; name " + shown(p.name) + "; serial " +
               shown(p.serial) + "; via " + joined(p.via, ",");
        if (!p.other_addresses.empty()) out += "; also at " + joined(p.other_addresses, ",");
        out += "\n" + p.address + "\n";
    }
    return out;
}

std::string tsv_text(const std::vector<Printer>& printers) {
    std::string out = "address\tmodel\tfirmware\tuuid\tserial\tname\tvia\tother_addresses\n";
    for (const Printer& p : printers) {
        for (const std::string* field : {&p.address, &p.model, &p.firmware, &p.uuid, &p.serial, &p.name})
            out += ipp::one_line(*field) + "\t";
        out += joined(p.via, ",") + "\t" + joined(p.other_addresses, ",") + "\n";
    }
    return out;
}

std::string json_text(const std::vector<Printer>& printers) {
    if (printers.empty()) return "[]\n";
    std::string out = "[\n";
    for (std::size_t i = 0; i < printers.size(); ++i) {
        const Printer& p = printers[i];
        out += "{\"address\": " + ipp::json_string(p.address) + ", \"model\": " + ipp::json_string(p.model) +
               ", \"firmware\": " + ipp::json_string(p.firmware) + ", \"uuid\": " + ipp::json_string(p.uuid) +
               ", \"serial\": " + ipp::json_string(p.serial) + ", \"name\": " + ipp::json_string(p.name) +
               ", \"via\": " + json_list(p.via) + ", \"other_addresses\": " + json_list(p.other_addresses) + "}" +
               (i + 1 < printers.size() ? ",\n" : "\n");
    }
    return out + "]\n";
}

}  // namespace find
