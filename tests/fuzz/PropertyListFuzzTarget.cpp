// State and preference files through the property-list reader (XML and binary), then the
// same bytes as the preferences file. What the reader accepts stays within its limits, and
// what this system writes from it reads back.
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "AUStateFile.h"
#include "FuzzSupport.h"
#include "Preferences.h"
#include "PropertyListSamples.h"

namespace MV::fuzz {

namespace {

using PlistPtr = std::unique_ptr<void, void (*)(plist_t)>;

// Depth (the outermost value at 1) and number of values of a parsed list, without recursion;
// reading every key and string on the way, as the readers of preferences and states do.
std::pair<std::size_t, std::size_t> Measure(plist_t root) {
    std::size_t deepest = 0;
    std::size_t values = 0;
    std::vector<std::pair<plist_t, std::size_t>> pending{{root, 1}};
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        ++values;
        deepest = std::max(deepest, depth);
        if (plist_get_node_type(node) == PLIST_STRING) {
            char* text = nullptr;
            plist_get_string_val(node, &text); // asserts that the string holds no NUL
            std::free(text);
        } else if (plist_get_node_type(node) == PLIST_ARRAY) {
            for (uint32_t i = 0; i < plist_array_get_size(node); ++i) {
                pending.emplace_back(plist_array_get_item(node, i), depth + 1);
            }
        } else if (plist_get_node_type(node) == PLIST_DICT) {
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            while (true) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, iter, &key, &value);
                std::free(key);
                if (value == nullptr) {
                    break;
                }
                ++values; // the key
                pending.emplace_back(value, depth + 1);
            }
            std::free(iter);
        }
    }
    return {deepest, values};
}

// Written out as XML (as preferences are written), an accepted list reads back when the text
// fits the size limit (shared binary values are written once per use).
void CheckWrittenReadsBack(plist_t list) {
    char* text = nullptr;
    uint32_t length = 0;
    plist_to_xml(list, &text, &length);
    if (text != nullptr && length <= kAUPropertyListMaxBytes) {
        plist_t again = nullptr;
        FuzzCheck(AUPropertyListFromMemory(text, length, &again) == noErr,
                  "a list written as XML reads back");
        plist_free(again);
    }
    plist_to_xml_free(text);
}

// The bytes as the preferences file: read (a bad file is moved aside), and when they hold a
// dictionary, written through; the file as it was is put back afterwards.
void CheckAsPreferences(const std::uint8_t* data, std::size_t size, bool dictionary) {
    const std::string path = MV::PreferencesFilePath();
    const std::string folder = std::filesystem::path(path).parent_path();
    std::string kept;
    {
        std::ifstream file(path, std::ios::binary);
        kept.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), std::streamsize(size));
    std::string skin = "none";
    GetPrefString(kPrefSkin, skin);
    GetPrefInt(kPrefOSCBasePort, kDefaultOSCBasePort);
    if (dictionary) {
        SetPrefInt("Fuzz", 17);
        FuzzCheck(GetPrefInt("Fuzz", 0) == 17, "a preference written is read back");
    }
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().find(".corrupt-") != std::string::npos) {
            std::filesystem::remove(entry.path());
        }
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << kept;
}

void HandlePropertyList(const std::uint8_t* data, std::size_t size) {
    HermeticFolder();
    plist_t raw = nullptr;
    const bool accepted =
        AUPropertyListFromMemory(reinterpret_cast<const char*>(data), size, &raw) == noErr;
    const PlistPtr list(raw, plist_free);
    if (accepted) {
        const auto [depth, values] = Measure(list.get());
        FuzzCheck(depth < kAUPropertyListMaxDepth, "an accepted list is not nested too deeply");
        FuzzCheck(values <= kAUPropertyListMaxValues, "an accepted list has not too many values");
        CheckWrittenReadsBack(list.get());
    }
    // The file is slow to go through: every dictionary does, and one in sixteen other inputs
    // (which the reader moves aside).
    const bool dictionary = accepted && plist_get_node_type(list.get()) == PLIST_DICT;
    if (dictionary || (size > 0 && data[size - 1] % 16 == 0)) {
        CheckAsPreferences(data, size, dictionary);
    }
}

Input Text(const std::string& text) {
    return Input(text.begin(), text.end());
}

std::vector<Input> PropertyListSeeds() {
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC "
                             "\"-//Apple//DTD PLIST 1.0//EN\" "
                             "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                             "<plist version=\"1.0\">\n";
    std::vector<Input> seeds{
        Text(head + "<dict>\n\t<key>OSC Base Port</key>\n\t<integer>9000</integer>\n"
                    "\t<key>Skin</key>\n\t<string>Dark &amp; &#x263A;</string>\n"
                    "\t<key>Enable eye candy</key>\n\t<integer>0</integer>\n</dict>\n</plist>\n"),
        Text(head + "<dict><key>version</key><integer>0</integer><key>type</key>"
                    "<integer>1635085670</integer><key>data</key><data>AAAAAAAAAAAAAAAQ</data>"
                    "<key>name</key><string>Untitled</string><key>element-name</key><dict>"
                    "<key>1</key><dict><key>0</key><string>In</string></dict></dict></dict>"
                    "</plist>"),
        Text(head + "<array><real>1.5</real><true/><false/><date>2024-01-01T00:00:00Z</date>"
                    "<!-- a comment --><string><![CDATA[<dict>]]></string><array/><dict/>"
                    "<integer>-9223372036854775808</integer></array></plist>"),
        Text("<plist><dict><key>a</key>" + MV::test::NestedXmlArrays(20) + "</dict></plist>"),
        Text("<!DOCTYPE plist [ <!ENTITY x \"]>\"> ]><plist><dict/></plist>"),
        Text(MV::test::NestedBinaryList(30)),
        Text(MV::test::SharingBinaryList(10)),
    };
    // Binary lists of every kind of value, as the library writes them.
    for (const Input& xml : std::vector<Input>(seeds.begin(), seeds.begin() + 3)) {
        plist_t list = nullptr;
        AUPropertyListFromMemory(xml.data(), xml.size(), &list);
        char* bytes = nullptr;
        uint32_t length = 0;
        plist_to_bin(list, &bytes, &length);
        seeds.emplace_back(bytes, bytes + length);
        plist_to_bin_free(bytes);
        plist_free(list);
    }
    return seeds;
}

} // namespace

const FuzzTarget& PropertyListTarget() {
    static const FuzzTarget target{"plist", &HandlePropertyList, &PropertyListSeeds,
                                   kAUPropertyListMaxBytes + 1};
    return target;
}

} // namespace MV::fuzz
