#include "core/Fastinifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>

#include "core/Exceptions.h"
#include "rtl/Exception.h"

namespace Fastinifile {

UnicodeString TrimBlanks(std::u16string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return UnicodeString(std::u16string(s.substr(b, e - b)));
}

namespace {

bool HasLineBreak(const UnicodeString& s) {
    for (char16_t c : s.u16())
        if (c == u'\r' || c == u'\n') return true;
    return false;
}

TIniItemKind Classify(const std::u16string& line) {
    if (line.empty()) return TIniItemKind::Blank;
    if (line[0] == u';') return TIniItemKind::Comment;
    if (line.size() >= 2 && line[0] == u'[' && line.back() == u']') return TIniItemKind::Section;
    return TIniItemKind::Unsplit;
}

UnicodeString SectionNameOf(const TIniItem& header) {
    return header.Name.SubString(1, header.Name.Length() - 2);
}

// ---- text encodings -------------------------------------------------------

using System::AppendUtf8;

std::u16string DecodeUtf8Escaped(std::string_view s) { return System::Utf8ToUtf16(s, System::InvalidUtf8::Escape); }

// ---- files ----------------------------------------------------------------

[[noreturn]] void ThrowFileError(const char* what, const UnicodeString& name, int err) {
    throw Sysutils::EInOutError(UnicodeString(what) + " \"" + name + "\". " + UnicodeString(std::strerror(err)));
}

mode_t CurrentUmask() {
    // Reading the mask from /proc avoids umask(2)'s set-and-restore race.
    int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf - 1);
        ::close(fd);
        if (n > 0) {
            buf[n] = 0;
            if (const char* p = std::strstr(buf, "Umask:")) return static_cast<mode_t>(std::strtol(p + 6, nullptr, 8));
        }
    }
    return 022;
}

bool WriteAll(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

void ReplaceFile(const UnicodeString& fileName, const std::string& bytes) {
    std::string path = fileName.ToUtf8();
    // A settings file that is a symbolic link is updated where it points,
    // and the link stays.
    struct stat lst;
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            path = real;
            std::free(real);
        }
    }
    struct stat st;
    const bool exists = ::stat(path.c_str(), &st) == 0;
    std::string tmp = path + ".tmp-XXXXXX";
    int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) ThrowFileError("Cannot create file", fileName, errno);
    auto fail = [&](int err) {
        ::close(fd);
        ::unlink(tmp.c_str());
        ThrowFileError("Cannot create file", fileName, err);
    };
    // mkostemp creates 0600; keep the old file's mode and owner instead.
    ::fchmod(fd, exists ? (st.st_mode & 07777) : (0666 & ~CurrentUmask()));
    if (exists && ::fchown(fd, st.st_uid, st.st_gid) != 0) {
        // Only the owner may change it; the file then belongs to the writer.
    }
    if (!WriteAll(fd, bytes.data(), bytes.size())) fail(errno);
    if (::fsync(fd) != 0) fail(errno);
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        ThrowFileError("Cannot create file", fileName, err);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        ThrowFileError("Cannot create file", fileName, err);
    }
    std::string dir = path.substr(0, path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/'));
    int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

} // namespace

std::u16string DecodeText(std::string_view b, TTextEncoding& enc) {
    auto u = [&](std::size_t i) { return static_cast<unsigned char>(b[i]); };
    if (b.size() >= 3 && u(0) == 0xEF && u(1) == 0xBB && u(2) == 0xBF) {
        enc = TTextEncoding::Utf8Bom;
        return DecodeUtf8Escaped(b.substr(3));
    }
    // UTF-16 only with whole code units; otherwise the bytes are kept as
    // they are through the UTF-8 escapes.
    if (b.size() >= 2 && b.size() % 2 == 0 && ((u(0) == 0xFF && u(1) == 0xFE) || (u(0) == 0xFE && u(1) == 0xFF))) {
        const bool le = u(0) == 0xFF;
        enc = le ? TTextEncoding::Utf16LE : TTextEncoding::Utf16BE;
        std::u16string out;
        out.reserve(b.size() / 2 - 1);
        for (std::size_t i = 2; i + 1 < b.size(); i += 2)
            out += static_cast<char16_t>(le ? (u(i) | (u(i + 1) << 8)) : ((u(i) << 8) | u(i + 1)));
        return out;
    }
    enc = TTextEncoding::Utf8;
    return DecodeUtf8Escaped(b);
}

std::string EncodeText(std::u16string_view s, TTextEncoding enc) {
    std::string out;
    if (enc == TTextEncoding::Utf16LE || enc == TTextEncoding::Utf16BE) {
        const bool le = enc == TTextEncoding::Utf16LE;
        out.reserve(s.size() * 2 + 2);
        auto put = [&](char16_t c) {
            char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
            if (le) { out += lo; out += hi; } else { out += hi; out += lo; }
        };
        put(0xFEFF);
        for (char16_t c : s) put(c);
        return out;
    }
    out.reserve(s.size() + 3);
    if (enc == TTextEncoding::Utf8Bom) out += "\xEF\xBB\xBF";
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00));
            ++i;
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
            out += static_cast<char>(c - 0xDC00); // a byte kept from the file
        } else {
            AppendUtf8(out, c); // a lone surrogate stays as its three bytes
        }
    }
    return out;
}

// ---- section table ----------------------------------------------------------

TSectionItem* TSectionItems::Find(const UnicodeString& name, std::uint32_t hash, bool caseSensitive) const {
    for (TSectionItem* s : buckets_[hash & 0xFF])
        if (s->Hash == hash && (caseSensitive ? s->Name == name : CompareTextUnicode(s->Name, name) == 0)) return s;
    return nullptr;
}

TSectionItem* TSectionItems::Add(const UnicodeString& name, std::uint32_t hash, int start, bool caseSensitive) {
    auto item = std::make_unique<TSectionItem>();
    item->Name = name;
    item->Hash = hash;
    item->Start = start;
    TSectionItem* p = item.get();
    all_.push_back(std::move(item));
    auto& chain = buckets_[hash & 0xFF];
    for (auto& s : chain)
        if (s->Hash == hash && (caseSensitive ? s->Name == name : CompareTextUnicode(s->Name, name) == 0)) {
            s = p;
            return p;
        }
    chain.push_back(p);
    return p;
}

void TSectionItems::Clear() {
    for (auto& b : buckets_) b.clear();
    all_.clear();
}

void TSectionItems::Shift(int index, int delta) {
    for (auto& s : all_)
        if (s->Start > index) s->Start += delta;
}

// ---- engine -----------------------------------------------------------------

TFastIniFile::TFastIniFile(const UnicodeString& fileName) : TCustomIniFile(fileName) {}
TFastIniFile::~TFastIniFile() = default;

std::uint32_t TFastIniFile::HashName(const UnicodeString& name) {
    std::uint32_t h = 0;
    for (char16_t c : name.u16()) h = ((h << 2) | (h >> 30)) ^ static_cast<std::uint32_t>(System::UpCaseChar(c));
    return h;
}

bool TFastIniFile::NamesEqual(const UnicodeString& a, const UnicodeString& b) const {
    return CaseSensitive ? a == b : CompareTextUnicode(a, b) == 0;
}

void TFastIniFile::EnsureLoaded() {
    if (loaded_) return;
    const UnicodeString& name = FileName();
    std::string bytes;
    if (!name.IsEmpty()) {
        int fd = ::open(name.ToUtf8().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            // A missing file is an empty one; anything else must not be
            // mistaken for one, or the next write would replace it.
            if (errno != ENOENT) ThrowFileError("Cannot open file", name, errno);
        } else {
            struct stat st;
            if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
                ::close(fd);
                ThrowFileError("Cannot open file", name, EISDIR);
            }
            char buf[65536];
            for (;;) {
                ssize_t n = ::read(fd, buf, sizeof buf);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    int err = errno;
                    ::close(fd);
                    ThrowFileError("Cannot read file", name, err);
                }
                if (n == 0) break;
                bytes.append(buf, static_cast<std::size_t>(n));
            }
            ::close(fd);
        }
    }
    Parse(DecodeText(bytes, encoding_));
    loaded_ = true;
}

void TFastIniFile::Parse(const std::u16string& text) {
    items_.clear();
    textLines_ = sectionLines_ = comments_ = blanks_ = 0;
    auto add = [&](std::size_t b, std::size_t e) {
        TIniItem it;
        it.Name = UnicodeString(text.substr(b, e - b));
        it.Kind = Classify(it.Name.u16());
        switch (it.Kind) {
        case TIniItemKind::Blank: ++blanks_; break;
        case TIniItemKind::Comment: ++comments_; break;
        case TIniItemKind::Section: ++sectionLines_; break;
        default: ++textLines_; break;
        }
        items_.push_back(std::move(it));
    };
    std::size_t start = 0;
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (text[i] == u'\r') {
            add(start, i);
            if (i + 1 < n && text[i + 1] == u'\n') ++i;
            start = i + 1;
        } else if (text[i] == u'\n') {
            add(start, i);
            start = i + 1;
        }
    }
    if (start < n) add(start, n);
    RebuildSections();
    // Lines before the first header belong to no section; without any
    // header there is nothing to hash.
    hashed_ = sectionLines_ > 0 && textLines_ / sectionLines_ > kHashedModeThreshold;
}

void TFastIniFile::RebuildSections() {
    sections_.Clear();
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i].Kind == TIniItemKind::Section) {
            UnicodeString name = SectionNameOf(items_[i]);
            sections_.Add(name, HashName(name), static_cast<int>(i + 1), CaseSensitive);
        }
    ++sectionsVersion_;
}

void TFastIniFile::SplitLine(TIniItem& it) const {
    const std::u16string& line = it.Name.u16();
    const std::size_t eq = line.find(u'=');
    if (eq == std::u16string::npos) {
        it.Kind = TIniItemKind::OtherText;
        return;
    }
    UnicodeString value = TrimBlanks(std::u16string_view(line).substr(eq + 1));
    std::size_t b = 0, e = eq;
    while (b < e && IsBlank(line[b])) ++b;
    while (e > b && IsBlank(line[e - 1])) --e;
    UnicodeString name(line.substr(b, e - b));
    it.Hash = HashName(name);
    it.Name = std::move(name);
    it.Value = std::move(value);
    it.Kind = TIniItemKind::Entry;
}

TSectionItem* TFastIniFile::FindSection(const UnicodeString& name) {
    return sections_.Find(name, HashName(name), CaseSensitive);
}

int TFastIniFile::SectionEnd(const TSectionItem* s) const {
    int i = s->Start;
    const int n = static_cast<int>(items_.size());
    while (i < n && items_[static_cast<std::size_t>(i)].Kind != TIniItemKind::Section) ++i;
    return i;
}

void TFastIniFile::BuildEntryBuckets(TSectionItem* s) {
    auto buckets = std::make_unique<std::array<std::vector<int>, 256>>();
    const int end = SectionEnd(s);
    for (int i = s->Start; i < end; ++i) {
        TIniItem& it = items_[static_cast<std::size_t>(i)];
        if (it.Kind == TIniItemKind::Unsplit) SplitLine(it);
        if (it.Kind == TIniItemKind::Entry) (*buckets)[it.Hash & 0xFF].push_back(i - s->Start);
    }
    s->Entries = std::move(buckets);
}

int TFastIniFile::FindEntry(TSectionItem* s, const UnicodeString& ident, std::uint32_t hash) {
    if (hashed_) {
        if (!s->Entries) BuildEntryBuckets(s);
        const auto& bucket = (*s->Entries)[hash & 0xFF];
        // Newest first: in hashed mode the last of equal names counts.
        for (auto k = bucket.size(); k-- > 0;) {
            const int idx = s->Start + bucket[k];
            const TIniItem& it = items_[static_cast<std::size_t>(idx)];
            if (it.Hash == hash && NamesEqual(it.Name, ident)) return idx;
        }
        return -1;
    }
    const int n = static_cast<int>(items_.size());
    for (int i = s->Start; i < n; ++i) {
        TIniItem& it = items_[static_cast<std::size_t>(i)];
        if (it.Kind == TIniItemKind::Section) break;
        if (it.Kind == TIniItemKind::Unsplit) SplitLine(it);
        if (it.Kind == TIniItemKind::Entry && it.Hash == hash && NamesEqual(it.Name, ident)) return i;
    }
    return -1;
}

bool TFastIniFile::FindRawValue(const UnicodeString& section, const UnicodeString& ident, UnicodeString& raw) {
    EnsureLoaded();
    TSectionItem* s = FindSection(section);
    if (!s) return false;
    const UnicodeString name = TrimBlanks(ident.u16());
    const int idx = FindEntry(s, name, HashName(name));
    if (idx < 0) return false;
    raw = items_[static_cast<std::size_t>(idx)].Value;
    return true;
}

int TFastIniFile::InlineCommentStart(std::u16string_view v) const {
    bool inside = false;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] == u'"') inside = !inside;
        else if (v[i] == u';' && !inside) return static_cast<int>(i);
    }
    return -1;
}

UnicodeString TFastIniFile::ReadString(const UnicodeString& section, const UnicodeString& ident,
                                       const UnicodeString& def) {
    UnicodeString v;
    if (!FindRawValue(section, ident, v)) return def;
    if (InlineComments) {
        const int c = InlineCommentStart(v.u16());
        if (c >= 0) v = TrimBlanks(std::u16string_view(v.u16()).substr(0, static_cast<std::size_t>(c)));
    }
    if (StripQuotes && v.Length() >= 2 && (v[0] == u'"' || v[0] == u'\'') && v[v.Length() - 1] == v[0])
        v = v.SubString(1, v.Length() - 2);
    return v;
}

void TFastIniFile::WriteString(const UnicodeString& section, const UnicodeString& ident, const UnicodeString& value) {
    WriteRaw(section, ident, value);
}

void TFastIniFile::Insert(int index, TIniItem item) {
    items_.insert(items_.begin() + index, std::move(item));
    sections_.Shift(index, 1);
}

void TFastIniFile::WriteRaw(const UnicodeString& section, const UnicodeString& ident, const UnicodeString& value) {
    const UnicodeString name = TrimBlanks(ident.u16());
    // Text that would read back as another line kind, or break the line,
    // could never be found again and would pile up with every write.
    if (name.IsEmpty() || name.Pos("=") >= 0 || HasLineBreak(name) || name[0] == u';' || name[0] == u'[')
        throw System::EArgument("an entry name must not be empty, contain '=' or a line break, "
                                "or begin with ';' or '['",
                                "Ident");
    if (HasLineBreak(section)) throw System::EArgument("a section name must not contain a line break", "Section");
    if (HasLineBreak(value)) throw System::EArgument("a value must not contain a line break", "Value");
    EnsureLoaded();
    const std::uint32_t hash = HashName(name);
    TSectionItem* s = FindSection(section);
    int pos;
    if (s) {
        const int idx = FindEntry(s, name, hash);
        if (idx >= 0) {
            TIniItem& it = items_[static_cast<std::size_t>(idx)];
            const int c = InlineComments ? InlineCommentStart(it.Value.u16()) : -1;
            if (c < 0) {
                if (it.Value == value) return;
                it.Value = value;
            } else {
                // The comment stays where it was when the value leaves room.
                const std::u16string& old = it.Value.u16();
                if (TrimBlanks(std::u16string_view(old).substr(0, static_cast<std::size_t>(c))) == value) return;
                std::u16string nv = value.u16();
                const std::size_t len = nv.size();
                if (len + 1 < static_cast<std::size_t>(c)) nv.append(static_cast<std::size_t>(c) - len, u' ');
                else nv += u' ';
                nv.append(old, static_cast<std::size_t>(c), std::u16string::npos);
                it.Value = UnicodeString(std::move(nv));
            }
            modified_ = true;
            return;
        }
        pos = s->Start;
        const int end = SectionEnd(s);
        for (int i = s->Start; i < end; ++i) {
            TIniItem& it = items_[static_cast<std::size_t>(i)];
            if (it.Kind == TIniItemKind::Unsplit) SplitLine(it);
            if (it.Kind == TIniItemKind::Entry || it.Kind == TIniItemKind::OtherText) pos = i + 1;
        }
    } else {
        if (!items_.empty() && items_.back().Kind != TIniItemKind::Blank) items_.push_back(TIniItem{});
        TIniItem header;
        header.Kind = TIniItemKind::Section;
        header.Name = "[" + section + "]";
        items_.push_back(std::move(header));
        pos = static_cast<int>(items_.size());
        s = sections_.Add(section, HashName(section), pos, CaseSensitive);
        ++sectionsVersion_;
    }
    TIniItem entry;
    entry.Kind = TIniItemKind::Entry;
    entry.Hash = hash;
    entry.Name = name;
    entry.Value = value;
    Insert(pos, std::move(entry));
    // Every entry of the section lies before pos, so the new one is last.
    if (s->Entries) (*s->Entries)[hash & 0xFF].push_back(pos - s->Start);
    modified_ = true;
}

bool TFastIniFile::ValueExists(const UnicodeString& section, const UnicodeString& ident) {
    UnicodeString raw;
    return FindRawValue(section, ident, raw);
}

bool TFastIniFile::SectionExists(const UnicodeString& section) {
    EnsureLoaded();
    return FindSection(section) != nullptr;
}

void TFastIniFile::DeleteKey(const UnicodeString& section, const UnicodeString& ident) {
    EnsureLoaded();
    TSectionItem* s = FindSection(section);
    if (!s) return;
    const UnicodeString name = TrimBlanks(ident.u16());
    const std::uint32_t hash = HashName(name);
    // Every occurrence goes: otherwise a duplicate would surface as the
    // value right after the entry was deleted.
    const int start = s->Start, end = SectionEnd(s);
    bool removed = false;
    for (int i = end; i-- > start;) {
        TIniItem& it = items_[static_cast<std::size_t>(i)];
        if (it.Kind == TIniItemKind::Unsplit) SplitLine(it);
        if (it.Kind == TIniItemKind::Entry && it.Hash == hash && NamesEqual(it.Name, name)) {
            items_.erase(items_.begin() + i);
            removed = true;
        }
    }
    if (!removed) return;
    RebuildSections();
    modified_ = true;
}

void TFastIniFile::EraseSection(const UnicodeString& section) {
    EnsureLoaded();
    if (!FindSection(section)) return;
    TIniItems kept;
    kept.reserve(items_.size());
    bool erasing = false;
    for (auto& it : items_) {
        if (it.Kind == TIniItemKind::Section) erasing = NamesEqual(SectionNameOf(it), section);
        if (!erasing) kept.push_back(std::move(it));
    }
    items_ = std::move(kept);
    RebuildSections();
    modified_ = true;
}

void TFastIniFile::ReadSections(TStrings& strings) {
    EnsureLoaded();
    strings.clear();
    std::unordered_set<std::u16string> seen;
    for (const auto& s : sections_.All()) {
        std::u16string key = CaseSensitive ? s->Name.u16() : s->Name.UpperCase().u16();
        if (seen.insert(std::move(key)).second) strings.push_back(s->Name);
    }
}

void TFastIniFile::CollectEntries(const UnicodeString& section, TStrings& strings, bool withValues) {
    EnsureLoaded();
    strings.clear();
    TSectionItem* s = FindSection(section);
    if (!s) return;
    const int end = SectionEnd(s);
    for (int i = s->Start; i < end; ++i) {
        TIniItem& it = items_[static_cast<std::size_t>(i)];
        if (it.Kind == TIniItemKind::Unsplit) SplitLine(it);
        if (it.Kind == TIniItemKind::Entry) strings.push_back(withValues ? it.Name + "=" + it.Value : it.Name);
    }
}

void TFastIniFile::ReadSection(const UnicodeString& section, TStrings& strings) {
    CollectEntries(section, strings, false);
}

void TFastIniFile::ReadSectionValues(const UnicodeString& section, TStrings& strings) {
    CollectEntries(section, strings, true);
}

UnicodeString TFastIniFile::GetText() {
    EnsureLoaded();
    std::u16string out;
    std::size_t total = 0;
    for (const auto& it : items_) total += static_cast<std::size_t>(it.Name.Length() + it.Value.Length()) + 3;
    out.reserve(total);
    for (const auto& it : items_) {
        // Without its leading blank such an entry would read back as a
        // comment or a section header.
        if (it.Kind == TIniItemKind::Entry && !it.Name.IsEmpty() && (it.Name[0] == u';' || it.Name[0] == u'['))
            out += u' ';
        out += it.Name.u16();
        if (it.Kind == TIniItemKind::Entry) {
            out += u'=';
            out += it.Value.u16();
        }
        out += u"\r\n";
    }
    return UnicodeString(std::move(out));
}

void TFastIniFile::UpdateFile() {
    if (!modified_ || FileName().IsEmpty()) return;
    std::string bytes = EncodeText(GetText().u16(), encoding_);
    // Text without a byte-order mark that starts like one would be read
    // back in another encoding; the UTF-8 mark keeps its meaning.
    auto starts = [&](const char* p, std::size_t n) { return bytes.size() >= n && bytes.compare(0, n, p, n) == 0; };
    if (encoding_ == TTextEncoding::Utf8 && (starts("\xEF\xBB\xBF", 3) || starts("\xFF\xFE", 2) || starts("\xFE\xFF", 2))) {
        bytes.insert(0, "\xEF\xBB\xBF");
        encoding_ = TTextEncoding::Utf8Bom;
    }
    ReplaceFile(FileName(), bytes);
    modified_ = false;
}

bool TFastIniFile::HashedMode() { EnsureLoaded(); return hashed_; }
TTextEncoding TFastIniFile::Encoding() { EnsureLoaded(); return encoding_; }
int TFastIniFile::TextLineCount() { EnsureLoaded(); return textLines_; }
int TFastIniFile::SectionLineCount() { EnsureLoaded(); return sectionLines_; }
int TFastIniFile::CommentCount() { EnsureLoaded(); return comments_; }
int TFastIniFile::BlankCount() { EnsureLoaded(); return blanks_; }

} // namespace Fastinifile
