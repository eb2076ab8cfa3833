#include "builder/files.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

Bytes readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    // Read in one piece at the size the file has, so that a large file
    // takes its size in memory and not up to twice that; a file that
    // changes meanwhile is read to its end all the same.
    Bytes bytes;
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size > 0) {
        bytes.resize(static_cast<size_t>(size));
        in.read(reinterpret_cast<char*>(bytes.data()), size);
        bytes.resize(static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    in.clear();
    bytes.insert(bytes.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    return bytes;
}

void writeWholeFile(const std::string& path, const Bytes& bytes) {
    std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            throw std::runtime_error("cannot write " + path);
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw std::runtime_error("cannot write " + path);
    }
}
