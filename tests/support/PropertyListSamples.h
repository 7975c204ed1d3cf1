// Property lists that break the readers' limits, built in memory: nested past any stack,
// larger than any real file, and binary lists whose values share children.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace MV::test {

// `levels` XML arrays inside one another.
inline std::string NestedXmlArrays(std::size_t levels) {
    std::string text;
    for (std::size_t i = 0; i < levels; ++i) {
        text += "<array>";
    }
    for (std::size_t i = 0; i < levels; ++i) {
        text += "</array>";
    }
    return text;
}

inline std::string NestedXmlList(std::size_t levels) {
    return "<?xml version=\"1.0\"?><plist version=\"1.0\">" + NestedXmlArrays(levels) + "</plist>";
}

// A binary list ("bplist00") of objects given whole, with references of refSize bytes;
// object 0 is the top.
inline std::string BinaryList(const std::vector<std::string>& objects, unsigned refSize) {
    std::string bytes = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const std::string& object : objects) {
        offsets.push_back(bytes.size());
        bytes += object;
    }
    const auto append = [&bytes](std::uint64_t value, unsigned size) {
        for (unsigned i = size; i-- > 0;) {
            bytes.push_back(char(value >> (8 * i)));
        }
    };
    const unsigned offsetSize = bytes.size() < (1u << 16) ? 2 : 4;
    const std::uint64_t table = bytes.size();
    for (std::uint64_t offset : offsets) {
        append(offset, offsetSize);
    }
    bytes.append(6, '\0');
    bytes.push_back(char(offsetSize));
    bytes.push_back(char(refSize));
    append(objects.size(), 8);
    append(0, 8);
    append(table, 8);
    return bytes;
}

// `levels` binary arrays, each holding the next one.
inline std::string NestedBinaryList(std::size_t levels) {
    const unsigned refSize = levels < (1u << 16) ? 2 : 3;
    std::vector<std::string> objects;
    for (std::size_t i = 1; i < levels; ++i) {
        std::string array(1, char(0xA1));
        for (unsigned b = refSize; b-- > 0;) {
            array.push_back(char(i >> (8 * b)));
        }
        objects.push_back(array);
    }
    objects.emplace_back(1, char(0xA0));
    return BinaryList(objects, refSize);
}

// `levels` binary arrays, each holding the next one twice: 2^levels values once parsed.
inline std::string SharingBinaryList(std::size_t levels) {
    std::vector<std::string> objects;
    for (std::size_t i = 1; i < levels; ++i) {
        objects.push_back({char(0xA2), char(i), char(i)});
    }
    objects.emplace_back(1, char(0x09)); // true
    return BinaryList(objects, 1);
}

} // namespace MV::test
