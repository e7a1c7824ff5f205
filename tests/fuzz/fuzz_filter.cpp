// The filter language: the input is read as JSON text and compiled as a
// `where` filter.
//
// Property: compile either refuses with an error text that is valid UTF-8
// and names a place ("... at where..."), or gives a filter on which
// Filter::matches, PayloadIndex::evaluate and the reference matcher of the
// unit tests (tests/cpp/engine/filter_reference.h) agree, record for record,
// on payloads made from the filter's own field names and operands: each
// field missing, equal to an operand, next to a numeric one in the other
// number form, a list of operands, a value of another type, or an object.
// The seeds in corpus/fuzz_filter are hand-written filter texts.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/filter/filter.h"
#include "engine/filter_reference.h"
#include "engine/index/payload_index.h"
#include "fuzz_support.h"

namespace velmoradb::fuzz {
namespace {

constexpr int kPayloads = 12;

bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

struct Material {
  std::vector<std::string> paths;
  std::vector<JsonValue> operands;
};

void collect_operands(const JsonValue& v, Material& m) {
  if (const auto* list = std::get_if<JsonArray>(&v.v)) {
    for (const JsonValue& e : *list) collect_operands(e, m);
  } else if (const auto* ops = std::get_if<JsonObject>(&v.v)) {
    for (const auto& [op, arg] : *ops) collect_operands(arg, m);
  } else {
    m.operands.push_back(v);
  }
}

void collect(const JsonValue& filter, Material& m) {
  const auto* object = std::get_if<JsonObject>(&filter.v);
  if (object == nullptr) return;
  for (const auto& [key, arg] : *object) {
    if (key == "$and" || key == "$or") {
      for (const JsonValue& sub : std::get<JsonArray>(arg.v)) collect(sub, m);
    } else if (key == "$not") {
      collect(arg, m);
    } else {
      m.paths.push_back(key);
      collect_operands(arg, m);
    }
  }
}

class PayloadMaker {
 public:
  PayloadMaker(const Material& m, std::uint64_t seed) : m_(m), gen_(seed) {}

  Payload make() {
    Payload p;
    for (const std::string& path : m_.paths) {
      if (below(4) == 0) continue;  // missing
      if (below(8) == 0) {
        p.data[path] = value();  // a key holding the dots: never named
      } else {
        place(p, path, value());
      }
    }
    return p;
  }

 private:
  std::size_t below(std::size_t n) { return n == 0 ? 0 : gen_() % n; }

  JsonValue operand() {
    if (m_.operands.empty()) return nullptr;
    return m_.operands[below(m_.operands.size())];
  }

  // The same number in the other form, or one step away from it.
  JsonValue neighbour(const JsonValue& v) {
    double d;
    if (const auto* u = std::get_if<std::uint64_t>(&v.v)) d = static_cast<double>(*u);
    else if (const auto* i = std::get_if<std::int64_t>(&v.v)) d = static_cast<double>(*i);
    else if (const auto* f = std::get_if<double>(&v.v)) d = *f;
    else return v;
    switch (below(4)) {
      case 0: return std::nextafter(d, INFINITY);
      case 1: return std::nextafter(d, -INFINITY);
      case 2:
        if (d >= 0 && d < 18446744073709551616.0) return static_cast<std::uint64_t>(d);
        if (d < 0 && d >= -9223372036854775808.0) return static_cast<std::int64_t>(d);
        return d;
      default: return d;
    }
  }

  JsonValue value() {
    switch (below(7)) {
      case 0:
      case 1: return operand();
      case 2: return neighbour(operand());
      case 3: {
        JsonArray list;
        for (std::size_t k = below(4); k > 0; --k) list.push_back(operand());
        return list;
      }
      case 4: {
        static const JsonValue kOthers[] = {nullptr, true, false, "", "x", std::nan(""),
                                            JsonArray{JsonArray{}}};
        return kOthers[below(7)];
      }
      case 5: return JsonObject{};
      default: return std::uint64_t{below(3)};
    }
  }

  // Sets the value at a dotted path, making objects on the way.
  static void place(Payload& p, const std::string& path, JsonValue v) {
    std::size_t start = 0, dot = path.find('.');
    JsonValue* at = &p.data[path.substr(0, dot)];
    while (dot != std::string::npos) {
      if (!std::holds_alternative<JsonObject>(at->v)) at->v = JsonObject{};
      start = dot + 1;
      dot = path.find('.', start);
      at = &std::get<JsonObject>(at->v)[path.substr(start, dot == std::string::npos ? dot
                                                                                 : dot - start)];
    }
    *at = std::move(v);
  }

  const Material& m_;
  std::mt19937_64 gen_;
};

}  // namespace
}  // namespace velmoradb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmoradb;
  using namespace velmoradb::fuzz;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto where = filter_reference::parse_json(text);
  if (!where) return 0;
  auto filter = Filter::compile(*where);
  if (!filter) {
    const std::string& error = filter.error().text();
    FUZZ_CHECK(valid_utf8(error), "error text is not UTF-8");
    FUZZ_CHECK(error.find(" at where") != std::string::npos, "no place in: %s", error.c_str());
    return 0;
  }

  Material material;
  collect(*where, material);
  PayloadMaker maker(material, std::hash<std::string_view>()(text));
  std::vector<Payload> payloads;
  PayloadIndex index;
  for (int i = 0; i < kPayloads; ++i) {
    payloads.push_back(maker.make());
    FUZZ_CHECK(index.add(static_cast<std::uint32_t>(i), payloads.back()), "add %d", i);
  }
  // Take out one slot the way a VectorIndex does: the last moves into it.
  const std::uint32_t gone = static_cast<std::uint32_t>(size % kPayloads);
  const std::uint32_t last = kPayloads - 1;
  FUZZ_CHECK(index.remove(gone, payloads[gone]), "remove %u", gone);
  if (gone != last) {
    FUZZ_CHECK(index.move(last, gone, payloads[last]), "move %u", last);
    payloads[gone] = payloads[last];
  }
  payloads.pop_back();

  const SlotBitmap bits = index.evaluate(*filter, payloads.size(), [&](std::uint32_t slot) {
    return &payloads.at(slot);
  });
  for (std::size_t s = 0; s < payloads.size(); ++s) {
    const bool expected = filter_reference::matches(*where, payloads[s]);
    FUZZ_CHECK(filter->matches(payloads[s]) == expected, "matches, slot %zu: %d", s, !expected);
    FUZZ_CHECK(bits.test(s) == expected, "evaluate, slot %zu: %d", s, !expected);
  }
  return 0;
}
