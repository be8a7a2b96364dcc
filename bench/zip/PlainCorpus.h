// The files of a package as the plain writers of the benchmark take them: "<size> <name>\n" and
// then the size bytes, for each file in the archive's order, names relative and with '/' between
// their levels (bench/zip/run writes the corpus from the archive).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kel::bench {

inline constexpr std::size_t kPlainBlock = 1 << 20;  // the writers' block size

struct PlainFile {
    std::string name;
    const char* data;  // into the corpus, which must outlive it
    std::size_t size;
};

// The whole file, read at once into a buffer of its size, or nullopt. (Grown while reading, as
// through istreambuf_iterator, the buffer was measured to slow the writes from it several times.)
inline std::optional<std::string> ReadCorpus(const char* path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in.tellg();
    if (!in || size < 0) {
        return std::nullopt;
    }
    std::string corpus(static_cast<std::size_t>(size), '\0');
    in.seekg(0);
    if (!in.read(corpus.data(), size)) {
        return std::nullopt;
    }
    return corpus;
}

inline std::optional<std::vector<PlainFile>> ParsePlainCorpus(const std::string& corpus) {
    std::vector<PlainFile> files;
    std::size_t at = 0;
    while (at < corpus.size()) {
        const std::size_t space = corpus.find(' ', at);
        const std::size_t end = corpus.find('\n', at);
        if (space == std::string::npos || end == std::string::npos || space > end) {
            return std::nullopt;
        }
        const auto size = static_cast<std::size_t>(std::strtoull(corpus.c_str() + at, nullptr, 10));
        if (size > corpus.size() - end - 1) {
            return std::nullopt;
        }
        files.push_back({corpus.substr(space + 1, end - space - 1), corpus.data() + end + 1, size});
        at = end + 1 + size;
    }
    return files;
}

// The folders of name not in made yet, outermost first; they are added to made.
inline std::vector<std::string> NewFolders(const std::string& name, std::set<std::string>& made) {
    std::vector<std::string> folders;
    for (std::size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
        std::string folder = name.substr(0, slash);
        if (made.insert(folder).second) {
            folders.push_back(std::move(folder));
        }
    }
    return folders;
}

}  // namespace kel::bench
