// Picking entries by name: the wildcards, the patterns a pack leaves out, the files and folders
// that names on the unpack and test command lines select, and where those lie in the stream.
#include "Files.h"

#include <algorithm>
#include <utility>

namespace qzn {

namespace {

// The character at text[i] and the code units it takes: a surrogate pair (UTF-16) is one.
char32_t characterAt(std::wstring_view text, size_t i, size_t& units) {
    const uint32_t c = uint32_t(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
        const uint32_t low = uint32_t(text[i + 1]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            units = 2;
            return char32_t(0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
        }
    }
    units = 1;
    return char32_t(c);
}

// The set that begins with the '[' at pattern[at]: whether it holds c, and in `end` where the
// pattern goes on after its ']'. False with end == at when the '[' is never closed.
bool setHolds(std::wstring_view pattern, size_t at, char32_t c, size_t& end) {
    end = at;
    size_t i = at + 1;
    const bool negated = i < pattern.size() && (pattern[i] == L'!' || pattern[i] == L'^');
    if (negated) ++i;
    bool holds = false;
    for (bool first = true;; first = false) {
        if (i >= pattern.size()) return false;
        if (pattern[i] == L']' && !first) break;
        size_t units = 0;
        const char32_t low = characterAt(pattern, i, units);
        i += units;
        char32_t high = low;
        if (i + 1 < pattern.size() && pattern[i] == L'-' && pattern[i + 1] != L']') {
            high = characterAt(pattern, i + 1, units);
            i += 1 + units;
        }
        if (c >= low && c <= high) holds = true;
    }
    end = i + 1;
    return holds != negated;
}

// The text without the '/' at its ends; `hadSlash` says whether it held one anywhere.
std::wstring trimmedPattern(const std::wstring& text, bool& hadSlash) {
    hadSlash = text.find(L'/') != std::wstring::npos;
    const size_t begin = text.find_first_not_of(L'/');
    if (begin == std::wstring::npos) return std::wstring();
    return text.substr(begin, text.find_last_not_of(L'/') - begin + 1);
}

} // namespace

bool nameMatches(std::wstring_view pattern, std::wstring_view name) {
    // The usual single backtrack: on a mismatch the last '*' takes one more character. An
    // earlier '*' never needs to, since the last one can take whatever it could.
    size_t p = 0, n = 0;
    size_t starP = std::wstring_view::npos, starN = 0;
    while (n < name.size()) {
        size_t units = 0;
        const char32_t c = characterAt(name, n, units);
        if (p < pattern.size()) {
            if (pattern[p] == L'*') {
                starP = ++p;
                starN = n;
                continue;
            }
            size_t next = p + 1;
            bool same = pattern[p] == L'?';
            if (!same && pattern[p] == L'[') {
                same = setHolds(pattern, p, c, next);
                if (next == p) next = p + 1; // never closed: a literal '['
            }
            if (!same && next == p + 1) {
                size_t patternUnits = 0;
                same = characterAt(pattern, p, patternUnits) == c;
                next = p + patternUnits;
            }
            if (same) {
                p = next;
                n += units;
                continue;
            }
        }
        if (starP == std::wstring_view::npos) return false;
        characterAt(name, starN, units);
        starN += units;
        n = starN;
        p = starP;
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}

bool pathMatches(std::wstring_view pattern, std::wstring_view path) {
    for (;;) {
        const size_t patternEnd = pattern.find(L'/');
        const size_t pathEnd = path.find(L'/');
        if (!nameMatches(pattern.substr(0, patternEnd), path.substr(0, pathEnd))) return false;
        if (patternEnd == std::wstring_view::npos || pathEnd == std::wstring_view::npos)
            return patternEnd == pathEnd;
        pattern.remove_prefix(patternEnd + 1);
        path.remove_prefix(pathEnd + 1);
    }
}

Exclusions::Exclusions(const std::vector<std::wstring>& patterns) {
    for (const std::wstring& text : patterns) {
        bool fromRoot = false;
        std::wstring pattern = trimmedPattern(text, fromRoot);
        if (pattern.empty()) continue; // no entry has an empty name or path
        (fromRoot ? fromRoot_ : anyDepth_).push_back(std::move(pattern));
    }
}

bool Exclusions::excludes(std::wstring_view path, std::wstring_view name) const {
    for (const std::wstring& pattern : anyDepth_)
        if (nameMatches(pattern, name)) return true;
    for (const std::wstring& pattern : fromRoot_)
        if (pathMatches(pattern, path)) return true;
    return false;
}

std::vector<std::wstring> FileList::selectNames(const std::vector<std::wstring>& names) {
    std::vector<std::wstring> patterns;
    for (const std::wstring& name : names) {
        bool ignored = false;
        patterns.push_back(trimmedPattern(name, ignored));
    }
    std::vector<uint8_t> matched(names.size(), 0);
    // Whether a name picks the entry at `path`, as stored or as list shows it (control
    // characters escaped), literally or as a pattern, so that every name list prints can be
    // typed back. Inside a picked folder only the names that have picked nothing yet are tried.
    auto picks = [&](const std::wstring& path, bool covered) {
        bool picked = covered;
        std::wstring shown;
        for (size_t k = 0; k < patterns.size(); ++k) {
            if (covered && matched[k]) continue;
            if (shown.empty() && !path.empty()) shown = visibleText(path);
            const std::wstring& pattern = patterns[k];
            if (pattern == path || pathMatches(pattern, path) ||
                (shown != path && (pattern == shown || pathMatches(pattern, shown)))) {
                matched[k] = 1;
                picked = true;
            }
        }
        return picked;
    };

    if (dirs.empty()) {
        // A single file has no stored name: list shows it as "(unnamed)", and so it is named.
        for (uint64_t f = 0; f < files.size(); ++f) files[f].selected = picks(storedPath(f), false);
    } else {
        // Depth first with one path text, cut back to each folder's parent when the folder is
        // visited: a selection holds no path per folder, however wide the tree.
        struct Pending {
            uint64_t dir;
            size_t parentLength; // of the path text
            bool belowPicked;
        };
        for (FileEntry& file : files) file.selected = false;
        std::vector<uint8_t> covered(dirs.size(), 0), reached(dirs.size(), 0);
        std::wstring path, filePath;
        std::vector<Pending> stack{{0, 0, false}};
        reached[0] = 1;
        while (!stack.empty()) {
            const Pending next = stack.back();
            stack.pop_back();
            const uint64_t d = next.dir;
            path.resize(next.parentLength);
            if (d != 0) {
                if (!path.empty()) path += L'/';
                path += dirs[d].name;
            }
            covered[d] = picks(path, next.belowPicked);
            for (uint64_t f : dirs[d].files) {
                if (f >= files.size() || files[f].dirIndex != d) continue;
                filePath = path.empty() ? files[f].name : path + L'/' + files[f].name;
                files[f].selected = picks(filePath, covered[d]);
            }
            const std::vector<uint64_t>& children = dirs[d].subdirs;
            for (auto it = children.rbegin(); it != children.rend(); ++it) {
                if (*it >= dirs.size() || reached[*it]) continue;
                reached[*it] = 1;
                stack.push_back({*it, path.size(), covered[d] != 0});
            }
        }
        // Made: what is picked, and every folder on the way to it. Each walk stops at a folder
        // made already, whose way is made too.
        const std::vector<uint64_t> parents = folderParents();
        std::vector<uint8_t> made(dirs.size(), 0);
        auto makeWay = [&](uint64_t d) {
            for (size_t steps = 0; d < dirs.size() && !made[d] && steps < dirs.size(); ++steps) {
                made[d] = 1;
                d = parents[d];
            }
        };
        for (uint64_t d = 0; d < dirs.size(); ++d)
            if (covered[d]) makeWay(d);
        for (const FileEntry& file : files)
            if (file.selected) makeWay(file.dirIndex);
        for (uint64_t d = 0; d < dirs.size(); ++d) dirs[d].selected = made[d] != 0;
    }

    // A copy carries no bytes of its own. One whose original is not selected swaps places with
    // it: the stream's bytes then go out under the copy's name, and later copies of the same
    // original copy from there. Every selected copy copies straight from the file that is
    // written, never through a copy that is not.
    std::vector<uint64_t> original(files.size());
    for (uint64_t f = 0; f < files.size(); ++f) {
        const uint32_t source = files[f].duplicateOf;
        original[f] = source == kNoDuplicate || source >= f ? f : original[source];
    }
    for (uint64_t f = 0; f < files.size(); ++f) {
        FileEntry& copy = files[f];
        if (!copy.selected || original[f] == f) continue;
        FileEntry& source = files[original[f]];
        if (source.selected) {
            copy.duplicateOf = uint32_t(original[f]);
            continue;
        }
        std::swap(source.name, copy.name);
        std::swap(source.path, copy.path);
        std::swap(source.dirIndex, copy.dirIndex);
        source.selected = true;
        copy.selected = false;
        auto first = lostFileNames.extract(original[f]), second = lostFileNames.extract(f);
        if (first) {
            first.key() = f;
            lostFileNames.insert(std::move(first));
        }
        if (second) {
            second.key() = original[f];
            lostFileNames.insert(std::move(second));
        }
    }

    std::vector<std::wstring> unmatched;
    for (size_t k = 0; k < names.size(); ++k)
        if (!matched[k]) unmatched.push_back(names[k]);
    return unmatched;
}

StreamSpan FileList::selectedSpan() const {
    StreamSpan span;
    bool placed = false;
    uint64_t at = 0;
    for (const FileEntry& file : files) {
        if (file.duplicateOf != kNoDuplicate) continue;
        if (file.selected) {
            if (!placed) span.begin = span.end = at;
            placed = true;
            if (file.size > 0) span.end = at + file.size;
        }
        at += file.size;
    }
    return span;
}

void FileStream::startAt(uint64_t position) {
    // The first file that holds the byte at `position` or is an empty file placed there: the
    // files before it end at or before `position`.
    uint64_t at = 0;
    for (current = 0; current < files.size(); ++current) {
        const FileEntry& file = files[current];
        if (file.duplicateOf != kNoDuplicate) continue;
        if (at + file.size > position || (file.size == 0 && at == position)) break;
        at += file.size;
    }
    offset = current < files.size() ? position - at : 0;
    outputStarted = false;
}

} // namespace qzn
