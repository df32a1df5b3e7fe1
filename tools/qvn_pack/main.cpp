// qvn_pack [--format 1|2] <folder> <output>
//
// Writes every regular file below <folder> into one web asset pack: the table sorted by name
// (byte order, "/" as the separator), each entry's bytes right after the previous one's, and
// the MIME type chosen by the file's extension. Format 2 (the default) stores the data area as
// one raw DEFLATE stream; format 1 stores it raw after the table. The output is written to a
// temporary file beside it and renamed, so a failed run never leaves a half-written pack.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct InputFile {
  std::string name;
  std::string mime;
  std::vector<uint8_t> bytes;
};

std::string MimeFor(const std::string& name) {
  static const std::map<std::string, std::string> kTypes = {
      {".html", "text/html; charset=utf-8"},       {".htm", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},   {".mjs", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},         {".json", "application/json"},
      {".map", "application/json"},                {".txt", "text/plain; charset=utf-8"},
      {".svg", "image/svg+xml"},                   {".png", "image/png"},
      {".jpg", "image/jpeg"},                      {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},                       {".webp", "image/webp"},
      {".ico", "image/x-icon"},                    {".woff", "font/woff"},
      {".woff2", "font/woff2"},                    {".ttf", "font/ttf"},
      {".otf", "font/otf"},                        {".wasm", "application/wasm"},
      {".webmanifest", "application/manifest+json"}, {".xml", "application/xml"},
      {".mp4", "video/mp4"},                       {".webm", "video/webm"},
      {".mp3", "audio/mpeg"},                      {".wav", "audio/wav"},
  };
  size_t dot = name.find_last_of('.');
  size_t slash = name.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string ext = name.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  auto it = kTypes.find(ext);
  return it == kTypes.end() ? std::string() : it->second;
}

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutU64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

bool ReadFile(const fs::path& path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool Collect(const fs::path& root, std::vector<InputFile>& files, std::string& error) {
  std::error_code ec;
  fs::recursive_directory_iterator it(root, ec);
  if (ec) {
    error = "cannot read folder " + root.string() + ": " + ec.message();
    return false;
  }
  for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (!it->is_regular_file(ec)) continue;
    InputFile f;
    f.name = fs::relative(it->path(), root, ec).generic_string();
    if (ec) break;
    if (f.name.size() > 0xFFFF) {
      error = "name too long: " + f.name;
      return false;
    }
    f.mime = MimeFor(f.name);
    if (!ReadFile(it->path(), f.bytes)) {
      error = "cannot read " + it->path().string();
      return false;
    }
    files.push_back(std::move(f));
  }
  if (ec) {
    error = "cannot walk folder " + root.string() + ": " + ec.message();
    return false;
  }
  std::sort(files.begin(), files.end(), [](const InputFile& a, const InputFile& b) { return a.name < b.name; });
  return true;
}

bool RawDeflate(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
  z_stream zs{};
  if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  out.resize(deflateBound(&zs, in.size()));
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.next_out = out.data();
  // Fed in pieces so inputs beyond 4 GiB fit zlib's 32-bit counters.
  size_t fed = 0;
  int rc = Z_OK;
  while (rc == Z_OK) {
    if (zs.avail_in == 0) {
      size_t chunk = std::min<size_t>(in.size() - fed, 1u << 30);
      zs.avail_in = static_cast<uInt>(chunk);
      fed += chunk;
    }
    size_t done = static_cast<size_t>(zs.next_out - out.data());
    if (done == out.size()) {
      out.resize(done * 2);
      zs.next_out = out.data() + done;
    }
    zs.avail_out = static_cast<uInt>(std::min<size_t>(out.size() - done, 1u << 30));
    rc = deflate(&zs, fed == in.size() ? Z_FINISH : Z_NO_FLUSH);
  }
  out.resize(static_cast<size_t>(zs.next_out - out.data()));
  deflateEnd(&zs);
  return rc == Z_STREAM_END;
}

bool BuildPack(const std::vector<InputFile>& files, int format, std::vector<uint8_t>& pack) {
  pack.clear();
  pack.insert(pack.end(), {'Q', 'V', 'N', 'P', 'A', 'C', 'K', static_cast<uint8_t>('0' + format)});
  PutU32(pack, static_cast<uint32_t>(format));
  PutU32(pack, 0);  // reserved
  PutU32(pack, static_cast<uint32_t>(files.size()));
  uint64_t dataSize = 0;
  for (const auto& f : files) dataSize += f.bytes.size();
  if (format == 2) PutU64(pack, dataSize);

  size_t tableSize = 0;
  for (const auto& f : files) tableSize += 2 + f.name.size() + 2 + f.mime.size() + 16;
  // Format 1 offsets count from the start of the file, format 2 from the inflated data.
  uint64_t offset = format == 1 ? pack.size() + tableSize : 0;
  for (const auto& f : files) {
    PutU16(pack, static_cast<uint16_t>(f.name.size()));
    pack.insert(pack.end(), f.name.begin(), f.name.end());
    PutU16(pack, static_cast<uint16_t>(f.mime.size()));
    pack.insert(pack.end(), f.mime.begin(), f.mime.end());
    PutU64(pack, offset);
    PutU64(pack, f.bytes.size());
    offset += f.bytes.size();
  }
  std::vector<uint8_t> data;
  data.reserve(dataSize);
  for (const auto& f : files) data.insert(data.end(), f.bytes.begin(), f.bytes.end());
  if (format == 1) {
    pack.insert(pack.end(), data.begin(), data.end());
    return true;
  }
  if (dataSize == 0) return true;
  std::vector<uint8_t> packed;
  if (!RawDeflate(data, packed)) return false;
  pack.insert(pack.end(), packed.begin(), packed.end());
  return true;
}

bool WriteAtomically(const fs::path& out, const std::vector<uint8_t>& bytes) {
  fs::path tmp = out;
  tmp += ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    f.close();
    if (!f) {
      std::error_code ec;
      fs::remove(tmp, ec);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(tmp, out, ec);
  return !ec;
}

int Usage() {
  std::fprintf(stderr, "usage: qvn_pack [--format 1|2] <folder> <output>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int format = 2;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--format") == 0 && i + 1 < argc) {
      std::string v = argv[++i];
      if (v != "1" && v != "2") return Usage();
      format = v[0] - '0';
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.size() != 2) return Usage();

  std::vector<InputFile> files;
  std::string error;
  if (!Collect(args[0], files, error)) {
    std::fprintf(stderr, "qvn_pack: %s\n", error.c_str());
    return 1;
  }
  std::vector<uint8_t> pack;
  if (!BuildPack(files, format, pack)) {
    std::fprintf(stderr, "qvn_pack: compression failed\n");
    return 1;
  }
  if (!WriteAtomically(args[1], pack)) {
    std::fprintf(stderr, "qvn_pack: cannot write %s\n", args[1].c_str());
    return 1;
  }
  return 0;
}
