// The settings file at scale: a 10,000-line file loaded and every key
// looked up, and the whole file written back.
//   layouts: 20 sections of 500 entries (hashed lookups) and 100 sections
//   of 100 entries (scanned lookups), plus comments and blank lines.
#include <benchmark/benchmark.h>

#include "tests/temp_dir.h"
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/AppSettings.h"
#include "core/MemIniFileEx.h"

namespace {

namespace fs = std::filesystem;

struct Layout {
    int sections;
    int entriesPerSection;
};

struct SettingsFile {
    std::string path;
    std::vector<std::pair<UnicodeString, UnicodeString>> keys; // section, name
};

testing_support::TempDir& Folder() {
    static testing_support::TempDir f;
    return f;
}

// 10,000 lines: per section a header, a comment, the entries (every tenth
// with an inline comment) and a blank line.
SettingsFile Make(const Layout& l) {
    SettingsFile f;
    f.path = Folder().file("s" + std::to_string(l.sections) + ".config");
    std::ofstream out(f.path, std::ios::binary | std::ios::trunc);
    int lines = 0;
    for (int s = 0; s < l.sections; ++s) {
        const std::string sec = "Section." + std::to_string(s);
        out << "[" << sec << "]\r\n; settings of " << sec << "\r\n";
        lines += 2;
        for (int e = 0; e < l.entriesPerSection - 3; ++e) {
            const std::string name = "Key" + std::to_string(e);
            out << name << " = \"value " << s << "." << e << "\"";
            if (e % 10 == 0) out << "   ; note";
            out << "\r\n";
            f.keys.emplace_back(UnicodeString(sec), UnicodeString(name));
            ++lines;
        }
        out << "\r\n";
        ++lines;
    }
    while (lines < 10000) { out << "; padding\r\n"; ++lines; }
    return f;
}

const SettingsFile& FileFor(int sections) {
    static SettingsFile hashed = Make({20, 500});
    static SettingsFile scanned = Make({100, 100});
    return sections == 20 ? hashed : scanned;
}

void BM_LoadAndLookUpEveryKey(benchmark::State& state) {
    const SettingsFile& f = FileFor(static_cast<int>(state.range(0)));
    std::size_t total = 0;
    for (auto _ : state) {
        System::Inifiles::TMemIniFileEx ini{UnicodeString(f.path)};
        for (const auto& k : f.keys) total += static_cast<std::size_t>(ini.ReadString(k.first, k.second).Length());
    }
    benchmark::DoNotOptimize(total);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.keys.size()));
    state.SetLabel(std::to_string(f.keys.size()) + " keys");
}
BENCHMARK(BM_LoadAndLookUpEveryKey)->Arg(20)->Arg(100)->Unit(benchmark::kMillisecond);

void BM_LookUpEveryKeyLoaded(benchmark::State& state) {
    const SettingsFile& f = FileFor(static_cast<int>(state.range(0)));
    System::Inifiles::TMemIniFileEx ini{UnicodeString(f.path)};
    for (const auto& k : f.keys) (void)ini.ReadString(k.first, k.second);
    std::size_t total = 0;
    for (auto _ : state)
        for (const auto& k : f.keys) total += static_cast<std::size_t>(ini.ReadString(k.first, k.second).Length());
    benchmark::DoNotOptimize(total);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.keys.size()));
}
BENCHMARK(BM_LookUpEveryKeyLoaded)->Arg(20)->Arg(100)->Unit(benchmark::kMillisecond);

void BM_AppSettingsReadEveryKey(benchmark::State& state) {
    const SettingsFile& f = FileFor(static_cast<int>(state.range(0)));
    std::vector<std::unique_ptr<System::TAppSettingsBase>> perSection;
    std::size_t total = 0;
    for (auto _ : state) {
        state.PauseTiming();
        perSection.clear();
        state.ResumeTiming();
        // One settings object per section, as each settings class has its own.
        UnicodeString current;
        System::TAppSettingsBase* s = nullptr;
        for (const auto& k : f.keys) {
            if (!s || !(k.first == current)) {
                perSection.push_back(std::make_unique<System::TAppSettingsBase>(k.first, true, UnicodeString(f.path)));
                s = perSection.back().get();
                current = k.first;
            }
            total += static_cast<std::size_t>(s->get_String(k.second, "").Length());
        }
    }
    benchmark::DoNotOptimize(total);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.keys.size()));
}
BENCHMARK(BM_AppSettingsReadEveryKey)->Arg(20)->Unit(benchmark::kMillisecond);

// Load, change one value, write the whole file back (temporary file, sync,
// rename).
void BM_WriteBackOneChange(benchmark::State& state) {
    const SettingsFile& src = FileFor(static_cast<int>(state.range(0)));
    const std::string path = Folder().file("writeback.config");
    fs::copy_file(src.path, path, fs::copy_options::overwrite_existing);
    int n = 0;
    for (auto _ : state) {
        System::Inifiles::TMemIniFileEx ini{UnicodeString(path)};
        ini.WriteInteger("Section.7", "Key42", ++n);
        ini.UpdateFile();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fs::file_size(path)));
}
BENCHMARK(BM_WriteBackOneChange)->Arg(20)->Arg(100)->Unit(benchmark::kMillisecond);

// Every key changed, then one write-back: every line is rebuilt.
void BM_WriteBackEveryKeyChanged(benchmark::State& state) {
    const SettingsFile& src = FileFor(static_cast<int>(state.range(0)));
    const std::string path = Folder().file("writeall.config");
    fs::copy_file(src.path, path, fs::copy_options::overwrite_existing);
    int n = 0;
    for (auto _ : state) {
        System::Inifiles::TMemIniFileEx ini{UnicodeString(path)};
        ++n;
        for (const auto& k : src.keys) ini.WriteInteger(k.first, k.second, n);
        ini.UpdateFile();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * src.keys.size()));
}
BENCHMARK(BM_WriteBackEveryKeyChanged)->Arg(20)->Arg(100)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
