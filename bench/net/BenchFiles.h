// Helpers that the network benchmarks share.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace kel::bench {

// Writes size random bytes into a new file at path; exits the benchmark when it cannot.
inline void MakeRandomFile(const std::string& path, std::size_t size) {
    std::mt19937_64 random(size);
    std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (std::size_t written = 0; written < size;) {
        std::generate(block.begin(), block.end(), std::ref(random));
        const std::size_t count = std::min(size - written, block.size() * sizeof block[0]);
        if (fd < 0 || write(fd, block.data(), count) != static_cast<ssize_t>(count)) {
            std::perror(path.c_str());
            std::exit(1);
        }
        written += count;
    }
    close(fd);
}

inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace kel::bench
