// libFuzzer target for the settings-file engine: any bytes load, every
// entry found by listing can be looked up, a value written reads back
// after a write-back, and lines nobody touched come back byte for byte.
// Built and run by scripts/fuzz.
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/MemIniFileEx.h"
#include "rtl/Exception.h"

namespace {

std::string g_dir;
std::string g_path;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "ini_fuzz: %s\n", what);
        std::abort();
    }
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr, "cannot create the input file");
    if (size) Check(std::fwrite(data, 1, size, f) == size, "cannot write the input file");
    std::fclose(f);
}

// The input with every CR LF, LF or lone CR turned into CR LF after each line.
std::string NormalisedLines(std::string_view in) {
    std::string out;
    out.reserve(in.size() + 16);
    std::size_t start = 0;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '\r' || in[i] == '\n') {
            out.append(in.substr(start, i - start));
            out += "\r\n";
            if (in[i] == '\r' && i + 1 < in.size() && in[i + 1] == '\n') ++i;
            start = i + 1;
        }
    }
    if (start < in.size()) {
        out.append(in.substr(start));
        out += "\r\n";
    }
    return out;
}

// Text a writer may be given: no surrogates, which do not survive UTF-8.
UnicodeString ValueFrom(const uint8_t* data, size_t size) {
    std::u16string v;
    for (size_t i = 0; i < size && i < 40; ++i) v += static_cast<char16_t>(data[i] == 0 ? 'x' : data[i]);
    return UnicodeString(v);
}

bool ContainsNoCase(std::string_view hay, std::string_view needle) {
    for (std::size_t i = 0; i + needle.size() <= hay.size(); ++i) {
        std::size_t k = 0;
        while (k < needle.size() && std::tolower(static_cast<unsigned char>(hay[i + k])) == needle[k]) ++k;
        if (k == needle.size()) return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Memory-backed when possible: every input is written and synced twice.
    std::error_code ec;
    const bool shm = std::filesystem::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0;
    // FUZZ_SCRATCH: a folder the caller removes, also after a crash.
    const char* scratch = std::getenv("FUZZ_SCRATCH");
    const std::filesystem::path base = scratch && *scratch ? std::filesystem::path(scratch)
                                       : shm ? std::filesystem::path("/dev/shm")
                                             : std::filesystem::temp_directory_path();
    std::string t = (base / "ini-fuzz-XXXXXX").string();
    Check(::mkdtemp(t.data()) != nullptr, "cannot create a temporary folder");
    g_dir = t;
    g_path = g_dir + "/fuzz.config";
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(g_dir, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using System::Inifiles::TMemIniFileEx;
    using System::Inifiles::TStrings;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    WriteFile(g_path, data, size);

    // 1. Loaded and written back untouched, the text is the input's lines.
    {
        TMemIniFileEx ini{UnicodeString(g_path)};
        const auto enc = ini.Encoding();
        if (enc == Fastinifile::TTextEncoding::Utf8 || enc == Fastinifile::TTextEncoding::Utf8Bom) {
            const std::string_view body = enc == Fastinifile::TTextEncoding::Utf8Bom ? input.substr(3) : input;
            const std::string expected =
                (enc == Fastinifile::TTextEncoding::Utf8Bom ? std::string("\xEF\xBB\xBF") : std::string()) +
                NormalisedLines(body);
            Check(Fastinifile::EncodeText(ini.GetText().u16(), enc) == expected, "untouched text changed");
        }
    }

    // 2. Everything listed can be found, read and converted without crashing.
    TMemIniFileEx ini{UnicodeString(g_path)};
    TStrings sections;
    ini.ReadSections(sections);
    int looked = 0;
    for (const auto& s : sections) {
        TStrings names;
        ini.ReadSection(s, names);
        for (const auto& n : names) {
            if (++looked > 200) break;
            Check(ini.ValueExists(s, n), "a listed entry does not exist");
            (void)ini.ReadString(s, n, "");
            try {
                (void)ini.ReadInteger(s, n, 0);
            } catch (const Sysutils::Exception&) {
            }
            try {
                (void)ini.ReadBool(s, n, false);
            } catch (const Sysutils::Exception&) {
            }
            try {
                (void)ini.ReadFloat(s, n, 0);
            } catch (const Sysutils::Exception&) {
            }
            try {
                (void)ini.ReadDateTime(s, n, 0);
            } catch (const Sysutils::Exception&) {
            }
        }
    }
    (void)ini.SectionCount();

    // 3. A write into an existing and into a new section survives the
    //    write-back and a fresh load (unless the input already holds these
    //    names, where duplicates make "first" and "last" differ).
    if (!sections.empty()) {
        TStrings names;
        ini.ReadSection(sections[0], names);
        if (!names.empty()) ini.DeleteKey(sections[0], names[0]);
        try {
            ini.WriteString(sections[0], ValueFrom(data, size), "v"); // a name from the input
        } catch (const Sysutils::Exception&) {
        }
    }
    const UnicodeString value = ValueFrom(data, size);
    const UnicodeString target = sections.empty() ? UnicodeString("Fuzz") : sections[size % sections.size()];
    ini.WriteString(target, "fuzzkey", value);
    ini.WriteInteger("Fuzz.New", "n", static_cast<int>(size));
    Check(ini.ReadString(target, "fuzzkey", "<none>") == value, "written value not read back");
    ini.UpdateFile();

    TMemIniFileEx again{UnicodeString(g_path)};
    if (!ContainsNoCase(input, "fuzzkey"))
        Check(again.ReadString(target, "fuzzkey", "<none>") == value, "value lost by the write-back");
    if (!ContainsNoCase(input, "fuzz.new"))
        Check(again.ReadInteger("Fuzz.New", "n", -1) == static_cast<int>(size), "new section lost by the write-back");
    return 0;
}
