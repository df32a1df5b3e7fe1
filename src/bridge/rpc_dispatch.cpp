#include "bridge/rpc_dispatch.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <utility>

#include "base/log.h"
#include "bridge/general_requests.h"
#include "base/json.h"
#include "platform/memory.h"
#include "platform/shell.h"

using nlohmann::json;

namespace {

constexpr size_t kMaxNesting = 256;  // deeper texts are refused before the recursive parts see them

// Where a parse stopped, for texts the parser refuses with another error than a syntax one
// (a number too large for a double).
struct ParseStop {
  size_t byte = 0;
  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number_integer(json::number_integer_t) { return true; }
  bool number_unsigned(json::number_unsigned_t) { return true; }
  bool number_float(json::number_float_t, const std::string&) { return true; }
  bool string(std::string&) { return true; }
  bool binary(json::binary_t&) { return true; }
  bool start_object(size_t) { return true; }
  bool key(std::string&) { return true; }
  bool end_object() { return true; }
  bool start_array(size_t) { return true; }
  bool end_array() { return true; }
  bool parse_error(size_t position, const std::string&, const nlohmann::detail::exception&) {
    byte = position;
    return false;
  }
};

// Shorter strings are left to the parser: taking them whole saves less than the skeleton costs.
constexpr size_t kLongStringBytes = 4096;

// True when one of the 16 bytes at p is a quote, a backslash, a control character or not
// ASCII: the bytes after which a string may end or stop being plain. As signed bytes, those
// not ASCII are negative, so one comparison finds them with the control characters. Plain
// 16-byte vectors (SSE2 or NEON, the baseline), so a long string costs a fraction of its copy.
bool HasSpecialByte(const char* p) {
  using Bytes = int8_t __attribute__((vector_size(16)));
  using Words = uint64_t __attribute__((vector_size(16)));
  Bytes v;
  std::memcpy(&v, p, 16);
  const Bytes special = (v == '"') | (v == '\\') | (v < 0x20);
  const Words words = reinterpret_cast<Words>(special);
  return (words[0] | words[1]) != 0;
}

// The parser's DOM builder (nlohmann's own, step for step: a repeated key keeps its last
// value) with the long strings of the scan, in their order, put back where the skeleton holds
// "" for them.
class LongStringDomBuilder {
 public:
  using string_t = json::string_t;

  // wholes: the contents of the scan's long strings, in order; they are moved into the value.
  // The one at index tracked is followed to where it ends up (see taken()).
  LongStringDomBuilder(json& root, const RequestTextScan& scan, std::vector<std::string>& wholes, size_t tracked)
      : root_(root), scan_(scan), wholes_(wholes), tracked_(tracked) {}

  bool null() { return Value(nullptr); }
  bool boolean(bool v) { return Value(v); }
  bool number_integer(json::number_integer_t v) { return Value(v); }
  bool number_unsigned(json::number_unsigned_t v) { return Value(v); }
  bool number_float(json::number_float_t v, const string_t&) { return Value(v); }
  bool string(string_t& v) {
    const size_t whole = Next();
    if (whole == kNone) return Value(std::move(v));
    json* placed = Place(std::move(wholes_[whole]));
    if (whole == tracked_) taken_ = placed->get_ptr<std::string*>();
    return true;
  }
  bool binary(json::binary_t& v) { return Value(std::move(v)); }
  bool start_object(size_t) {
    stack_.push_back(Place(json::value_t::object));
    return true;
  }
  bool key(string_t& name) {
    const size_t whole = Next();
    element_ = &(*stack_.back())[whole == kNone ? std::move(name) : std::move(wholes_[whole])];
    return true;
  }
  bool end_object() {
    stack_.pop_back();
    return true;
  }
  bool start_array(size_t) {
    stack_.push_back(Place(json::value_t::array));
    return true;
  }
  bool end_array() {
    stack_.pop_back();
    return true;
  }
  // The skeleton was accepted before this builder runs; a refusal still ends the parse.
  bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

  // The string the tracked content became, where it now lies in the value (strings stay put when
  // the value around them moves); null when it became a key or a later repeated key replaced it.
  std::string* taken() const { return taken_; }

 private:
  static constexpr size_t kNone = SIZE_MAX;

  // Every string token, key or value, is the next literal of the text: the index of its content
  // among the long strings, or kNone.
  size_t Next() {
    const size_t ordinal = strings_++;
    if (next_ >= scan_.longStrings.size() || scan_.longStrings[next_].ordinal != ordinal) return kNone;
    return next_++;
  }
  template <typename V>
  bool Value(V&& v) {
    Place(std::forward<V>(v));
    return true;
  }
  template <typename V>
  json* Place(V&& v) {
    if (stack_.empty()) {
      root_ = json(std::forward<V>(v));
      return &root_;
    }
    if (stack_.back()->is_array()) {
      stack_.back()->emplace_back(std::forward<V>(v));
      return &stack_.back()->back();
    }
    if (taken_ && element_->is_string() && element_->get_ptr<std::string*>() == taken_) taken_ = nullptr;
    *element_ = json(std::forward<V>(v));
    return element_;
  }

  json& root_;
  const RequestTextScan& scan_;
  std::vector<std::string>& wholes_;
  const size_t tracked_;
  std::vector<json*> stack_;
  json* element_ = nullptr;
  std::string* taken_ = nullptr;
  size_t strings_ = 0;
  size_t next_ = 0;
};

// The text with each long string's contents cut out: the parser sees the same tokens in the
// same order, so it accepts the skeleton exactly when it accepts the text.
std::string Skeleton(const std::string& text, const RequestTextScan& scan) {
  std::string skeleton;
  size_t cut = 0;
  for (const auto& s : scan.longStrings) cut += s.length;
  skeleton.reserve(text.size() - cut);
  size_t at = 0;
  for (const auto& s : scan.longStrings) {
    skeleton.append(text, at, s.begin - at);
    at = s.begin + s.length;
  }
  skeleton.append(text, at, std::string::npos);
  return skeleton;
}

// A copy of a long string's contents. One of many MiB lands in fresh memory, which costs a page
// fault every 4 KiB unless it is backed by huge pages.
std::string CopyOut(const std::string& text, const RequestTextScan::LongString& s) {
  std::string whole;
  platform::ReserveForLargeFill(whole, s.length);
  whole.assign(text, s.begin, s.length);
  return whole;
}

// Parses the text (which must be the scan's) with its long strings taken whole; scratch, when
// given, is the text itself, whose buffer the largest long string may take over.
json ParseWithLongStrings(const std::string& text, std::string* scratch, const RequestTextScan& scan,
                          std::string** taken) {
  if (taken) *taken = nullptr;
  if (scan.longStrings.empty()) return json::parse(text);
  const std::string skeleton = Skeleton(text, scan);
  ParseStop check;
  // A refusal's positions must be the text's own, so the parser reads the text itself; the
  // text is still whole at this point.
  if (!json::sax_parse(skeleton, &check)) return json::parse(text);
  size_t largest = 0;
  for (size_t i = 1; i < scan.longStrings.size(); ++i) {
    if (scan.longStrings[i].length > scan.longStrings[largest].length) largest = i;
  }
  std::vector<std::string> wholes(scan.longStrings.size());
  for (size_t i = 0; i < wholes.size(); ++i) {
    if (!scratch || i != largest) wholes[i] = CopyOut(text, scan.longStrings[i]);
  }
  if (scratch) {
    // The largest moves to the front of the text's buffer, which then becomes its string: no
    // fresh memory, and the caller can have the buffer back once the request is done.
    const RequestTextScan::LongString& s = scan.longStrings[largest];
    std::memmove(scratch->data(), scratch->data() + s.begin, s.length);
    scratch->resize(s.length);
    wholes[largest] = std::move(*scratch);
    scratch->clear();
  }
  json result;
  LongStringDomBuilder builder(result, scan, wholes, scratch ? largest : SIZE_MAX);
  // Accepted above, so accepted again: the same skeleton meets the same parser.
  if (!json::sax_parse(skeleton, &builder)) return json::parse(skeleton);
  if (taken) *taken = builder.taken();
  return result;
}

}  // namespace

RequestTextScan ScanRequestText(std::string_view text, size_t maxNesting) {
  // The nesting is counted as tokens::NestingExceededAt counts it; inside a string, runs of
  // ordinary bytes are skipped sixteen at a time.
  RequestTextScan scan;
  const char* p = text.data();
  const size_t n = text.size();
  size_t depth = 0;
  size_t ordinal = 0;
  size_t i = 0;
  while (i < n) {
    const char c = p[i];
    if (c == '"') {
      const size_t begin = ++i;
      bool plain = true;
      for (;;) {
        while (i + 16 <= n && !HasSpecialByte(p + i)) i += 16;
        if (i >= n) break;  // unterminated: the parser says where
        const unsigned char b = static_cast<unsigned char>(p[i]);
        if (b == '"') break;
        if (b == '\\') {
          plain = false;
          i += 2;
        } else {
          if (b < 0x20 || b >= 0x80) plain = false;
          ++i;
        }
      }
      if (i < n && plain && i - begin >= kLongStringBytes) scan.longStrings.push_back({ordinal, begin, i - begin});
      ++ordinal;
      ++i;  // past the closing quote
    } else {
      if (c == '[' || c == '{') {
        if (++depth > maxNesting) {
          scan.deepAt = i + 1;
          scan.longStrings.clear();
          return scan;
        }
      } else if ((c == ']' || c == '}') && depth > 0) {
        --depth;
      }
      ++i;
    }
  }
  return scan;
}

json ParseRequestText(const std::string& text, const RequestTextScan& scan) {
  return ParseWithLongStrings(text, nullptr, scan, nullptr);
}

json ParseRequestTextInPlace(std::string& text, const RequestTextScan& scan, std::string** taken) {
  return ParseWithLongStrings(text, &text, scan, taken);
}

bool IsOpenableExternalUrl(const std::string& url) {
  if (url.size() < 8 || url.size() > 8192) return false;
  for (unsigned char c : url) {
    if (c <= 0x20 || c == 0x7F || c == '\\') return false;
  }
  auto startsWithNoCase = [&url](const char* prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i) {
      if (i >= url.size()) return false;
      char c = url[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != prefix[i]) return false;
    }
    return true;
  };
  size_t start;
  if (startsWithNoCase("https://")) {
    start = 8;
  } else if (startsWithNoCase("http://")) {
    start = 7;
  } else {
    return false;
  }
  size_t end = url.find_first_of("/?#", start);
  if (end == std::string::npos) end = url.size();
  return end > start;
}

RpcDispatch::RpcDispatch(RpcOutletPtr outlet, WindowSidePtr windows, Options options)
    : outlet_(std::move(outlet)), windows_(std::move(windows)), options_(std::move(options)) {
  if (!options_.wallClock) options_.wallClock = SystemWallClockMs;
  if (!options_.openExternal) options_.openExternal = platform::OpenExternal;
  if (!options_.revealInFolder) options_.revealInFolder = RevealInFolder;
  RegisterGeneralRows();
}

// Workers are not waited for: they hold the outlet, which is detached at shutdown.
RpcDispatch::~RpcDispatch() { blobRouter_->Clear(); }

void RpcDispatch::Reply(const json& id, const json& data) {
  if (outlet_) outlet_->SendText(MakeRpcReply(id, "data", data));
}

void RpcDispatch::ReplyError(const json& id, const std::string& error) {
  if (outlet_) outlet_->SendText(MakeRpcReply(id, "error", error));
}

void RpcDispatch::HandleMessage(const std::string& text) { Handle(text, nullptr); }

void RpcDispatch::HandleMessageInPlace(std::string& text) { Handle(text, &text); }

void RpcDispatch::Handle(const std::string& text, std::string* scratch) {
  const RequestTextScan scan = ScanRequestText(text, kMaxNesting);
  if (scan.deepAt) {
    LogPrintf("[rpc] bad JSON at byte %zu\n", scan.deepAt);
    return;
  }
  json message;
  std::string* taken = nullptr;
  try {
    message = scratch ? ParseRequestTextInPlace(*scratch, scan, &taken) : ParseRequestText(text, scan);
  } catch (const json::parse_error& e) {
    LogPrintf("[rpc] bad JSON at byte %zu\n", e.byte);
    return;
  } catch (const json::exception&) {
    ParseStop stop;
    json::sax_parse(text, &stop);  // a refused text is still whole
    LogPrintf("[rpc] bad JSON at byte %zu\n", stop.byte);
    return;
  }
  // However the request ends, the lent buffer goes back before the message is freed.
  struct GiveBack {
    std::string* scratch;
    std::string* taken;
    ~GiveBack() {
      if (scratch && taken) *scratch = std::move(*taken);
    }
  } giveBack{scratch, taken};
  if (!message.is_object() || !message.contains("id") || !message.contains("type") ||
      !message["type"].is_string()) {
    LogPrintf("[rpc] malformed message (missing id/type)\n");
    return;
  }
  // Read in place: a large payload is neither copied nor moved on its way to the row.
  const json& id = *message.find("id");
  const std::string type = message["type"].get<std::string>();
  const json noPayload = json::object();
  auto member = message.find("payload");
  bool payloadOk = member == message.end() || member->is_object();
  const json& payload = member != message.end() && member->is_object() ? *member : noPayload;
  LogPrintf("[rpc] <- type=%s\n", type.c_str());
  if (!payloadOk) {
    ReplyError(id, "invalid parameter type: payload");
    return;
  }
  const RpcRequest request{id, type, payload, outlet_};
  try {
    if (const RpcRouteTable::Row* row = routes_.Find(type)) {
      (*row)(request);
    } else {
      request.ReplyNotImplemented();
    }
  } catch (const std::exception& e) {
    // A row must never take the connection thread down; the page still gets its answer.
    LogPrintf("[rpc] %s failed: %s\n", type.c_str(), e.what());
    ReplyError(id, std::string("request failed: ") + e.what());
  }
}

