#include "builder/volumewriter.h"

#include <algorithm>
#include <stdexcept>

std::vector<Bytes> splitPayload(const Bytes& payload, uint32_t firstPartCapacity, uint32_t volumeCapacity) {
    if (payload.size() > 0xFFFFFFFFu) throw std::invalid_argument("a payload of 4 GiB or more cannot be addressed");
    std::vector<Bytes> parts;
    size_t at = std::min<size_t>(payload.size(), firstPartCapacity);
    parts.emplace_back(payload.begin(), payload.begin() + at);
    if (at < payload.size() && volumeCapacity == 0)
        throw std::invalid_argument("the payload does not fit part 0 and volumes hold nothing");
    while (at < payload.size()) {
        size_t take = std::min<size_t>(payload.size() - at, volumeCapacity);
        parts.emplace_back(payload.begin() + at, payload.begin() + at + take);
        at += take;
    }
    return parts;
}

std::string volumeFileName(const std::string& packagePath, uint32_t k) {
    std::string digits = std::to_string(k);
    if (digits.size() < 2) digits.insert(0, 1, '0');
    size_t dot = packagePath.find_last_of('.');
    size_t separator = packagePath.find_last_of("\\/");
    bool replace = dot != std::string::npos && (separator == std::string::npos || separator < dot);
    return packagePath.substr(0, replace ? dot : packagePath.size()) + ".D" + digits;
}

Bytes volumeFile(const Bytes& part) {
    if (part.size() > 0xFFFFFFFFu) throw std::invalid_argument("a part of 4 GiB or more has no length field");
    Bytes file;
    file.reserve(part.size() + 4);
    appendU32(file, static_cast<uint32_t>(part.size()));
    file.insert(file.end(), part.begin(), part.end());
    return file;
}
