#include "log_reader.hpp"

#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>

#include "keyed_hash.hpp"
#include "simdjson.h"

namespace sorvane::toolkit {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

// A canonical decision line nests four deep (line, candidates, pair,
// features). Deeper values are refused by decide or ignored; either way the
// Python reader judges them, with its own recursion limit.
constexpr size_t kMaxDepth = 32;
// A line larger than this is left to the Python reader.
constexpr size_t kMaxLine = size_t{64} << 20;

// simdjson reads no NaN or Infinity: such a token, outside strings and in a
// value's place, is rewritten as a string no log line can hold (a NUL and
// one letter; lines holding the escape \u0000 are not rewritten at all).
// Marks are read as numbers only in a line that was so rewritten: in any
// other line a string of a NUL and one letter is the text the host logged.
constexpr char kNanMark = 'N';
constexpr char kInfinityMark = 'I';
constexpr char kMinusInfinityMark = '-';

bool is_mark(std::string_view s, bool marked) { return marked && s.size() == 2 && s[0] == '\0'; }

double mark_value(std::string_view s) {
  if (s[1] == kNanMark) return std::numeric_limits<double>::quiet_NaN();
  return s[1] == kInfinityMark ? std::numeric_limits<double>::infinity()
                               : -std::numeric_limits<double>::infinity();
}

bool has_special_token(std::string_view line) {
  return std::memchr(line.data(), 'N', line.size()) != nullptr ||
         std::memchr(line.data(), 'I', line.size()) != nullptr;
}

// Copies `line` into `out` with every NaN, Infinity and -Infinity token in a
// value's place replaced by its mark; `marked` tells whether any was. False
// when the line holds such a token but cannot be rewritten safely; tokens
// elsewhere are copied, for the parser to refuse.
bool rewrite_special_tokens(std::string_view line, std::string& out, bool& marked) {
  out.clear();
  marked = false;
  char open[kMaxDepth];
  size_t depth = 0;
  char last = 0;  // the last structural character outside strings
  size_t i = 0;
  const size_t n = line.size();
  auto mark = [&](char which) {
    marked = true;
    out += "\"\\u0000";
    out += which;
    out += '"';
  };
  while (i < n) {
    const char c = line[i];
    if (c == '"') {
      const size_t start = i++;
      while (i < n && line[i] != '"') i += line[i] == '\\' ? 2 : 1;
      i = std::min(i + 1, n);
      out.append(line.data() + start, i - start);
      last = '"';
      continue;
    }
    const bool key_place = depth > 0 && open[depth - 1] == '{' && (last == '{' || last == ',');
    if (c == '{' || c == '[') {
      if (depth == kMaxDepth) return false;
      open[depth++] = c;
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
    if (!key_place && c == 'N' && line.substr(i, 3) == "NaN") {
      mark(kNanMark);
      i += 3;
      last = 'v';
      continue;
    }
    if (!key_place && c == 'I' && line.substr(i, 8) == "Infinity") {
      mark(kInfinityMark);
      i += 8;
      last = 'v';
      continue;
    }
    if (!key_place && c == '-' && line.substr(i, 9) == "-Infinity") {
      mark(kMinusInfinityMark);
      i += 9;
      last = 'v';
      continue;
    }
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') last = c;
    out += c;
    ++i;
  }
  return !marked || line.find("\\u0000") == std::string_view::npos;
}

// The toolkit's Python reader takes a decision line in log_line's layout
// apart without parsing its feature list: the text between the record's
// features key and the last propensity key is taken for the list. Where
// that text is more than one value (a key put between the two, a closing
// brace), it reads the line otherwise than a full parse does, so such a
// line is left to it. The slice is found the way it finds it.
bool features_where_python_reader_looks(std::string_view line) {
  constexpr std::string_view kPrefix = "{\"event\":\"decision\",";
  constexpr std::string_view kRecord = ",\"record\":{";
  constexpr std::string_view kFeatures = ",\"features\":";
  constexpr std::string_view kPropensity = ",\"propensity\":";
  constexpr size_t npos = std::string_view::npos;
  if (!line.starts_with(kPrefix)) return true;
  size_t stop = line.rfind(kPropensity);
  // Python's rfind up to a missing stop (-1) searches all but the last byte.
  const std::string_view before_stop = line.substr(0, stop == npos ? line.size() - 1 : stop);
  const size_t quote = before_stop.rfind('"');
  size_t start = quote == npos || quote < kFeatures.size() - 2 ? npos : quote - (kFeatures.size() - 2);
  size_t cut;
  if (start != npos && line.substr(start).starts_with(kFeatures)) {
    cut = line.substr(0, start).rfind(kRecord);
  } else {
    cut = line.rfind(kRecord);
    start = cut == npos ? npos : line.find(kFeatures, cut);
    stop = start == npos ? npos : line.find(kPropensity, start);
  }
  if (cut == npos || start == npos || stop == npos) return true;  // it parses the line in full
  if (stop < start + kFeatures.size()) return false;
  const std::string_view list = line.substr(start + kFeatures.size(), stop - start - kFeatures.size());
  // Four passes of memchr over the list outrun one of find_first_of.
  for (const char c : {'"', ':', '{', '}'})
    if (std::memchr(list.data(), c, list.size()) != nullptr) return false;
  return true;
}

// A JSON number as the module reads the int or float json.loads gives:
// PyFloat_AsDouble rounds an int to the nearest double, as the casts do.
bool to_number(element e, double& out, bool marked) {
  switch (e.type()) {
    case element_type::DOUBLE:
      out = e.get_double().value_unsafe();
      return true;
    case element_type::INT64:
      out = static_cast<double>(e.get_int64().value_unsafe());
      return true;
    case element_type::UINT64:
      out = static_cast<double>(e.get_uint64().value_unsafe());
      return true;
    case element_type::STRING: {
      const std::string_view s = e.get_string().value_unsafe();
      if (!is_mark(s, marked)) return false;
      out = mark_value(s);
      return true;
    }
    default:
      return false;
  }
}

// A JSON integer that a record's unsigned field can equal.
bool to_uint(element e, uint64_t& out) {
  if (e.type() == element_type::UINT64) {
    out = e.get_uint64().value_unsafe();
    return true;
  }
  if (e.type() == element_type::INT64) {
    const int64_t v = e.get_int64().value_unsafe();
    if (v < 0) return false;
    out = static_cast<uint64_t>(v);
    return true;
  }
  return false;
}

bool to_text(element e, std::string_view& out, bool marked) {
  if (e.type() != element_type::STRING) return false;
  out = e.get_string().value_unsafe();
  return !is_mark(out, marked);
}

}  // namespace

struct LogReader::Parser {
  simdjson::dom::parser dom;
  std::string copy;  // the line with padding, its special tokens rewritten
  // For dictionaries too large for a pairwise search of duplicate keys;
  // the names are the log's, so the hash is keyed.
  std::unordered_map<std::string_view, size_t, KeyedTextHash> seen;

  Parser() {
    dom.set_max_capacity(kMaxLine);
    // A failure here leaves the parser empty; its first parse then fails
    // and the line is declined.
    if (dom.allocate(1 << 16, kMaxDepth) != simdjson::SUCCESS) return;
  }
};

// The conversion of one parsed line; a false return declines it, with the
// reason in the reader's why().
struct LineConverter {
  LogReader& r;

  bool decline(const char* why) {
    r.why_ = why;
    return false;
  }

  // One feature dict, appended to the line's features. A key seen before in
  // the same dict keeps its first place and takes the new value, as a dict
  // built by json.loads does.
  bool features(element e) {
    if (e.type() != element_type::OBJECT) return decline("a feature set is not an object");
    std::vector<NamedFeature>& out = r.decision_.features;
    const size_t begin = out.size();
    simdjson::dom::object object = e.get_object().value_unsafe();
    const size_t count = object.size();
    const bool small = count <= 32;
    if (!small) r.parser_->seen.clear();
    for (simdjson::dom::key_value_pair field : object) {
      if (is_mark(field.key, r.marked_)) return decline("a key is a special number");
      FeatureValue value;
      element v = field.value;
      switch (v.type()) {
        case element_type::NULL_VALUE:
          break;
        case element_type::STRING: {
          const std::string_view s = v.get_string().value_unsafe();
          if (is_mark(s, r.marked_)) {
            value.kind = FeatureKind::number;
            value.number = mark_value(s);
          } else {
            value.kind = FeatureKind::text;
            value.text = s;
          }
          break;
        }
        case element_type::BOOL:
          value.kind = FeatureKind::number;
          value.number = v.get_bool().value_unsafe() ? 1.0 : 0.0;
          break;
        case element_type::INT64:
        case element_type::UINT64:
        case element_type::DOUBLE:
          value.kind = FeatureKind::number;
          (void)to_number(v, value.number, false);
          break;
        default:
          return decline("a feature value is an array or object, which decide refuses");
      }
      size_t at = out.size();
      if (small) {
        for (size_t k = begin; k < out.size(); ++k) {
          if (out[k].name == field.key) {
            at = k;
            break;
          }
        }
      } else {
        auto [it, added] = r.parser_->seen.try_emplace(field.key, out.size());
        if (!added) at = it->second;
      }
      const uint8_t boolean = v.type() == element_type::BOOL;
      if (at == out.size()) {
        out.push_back({field.key, value});
        r.decision_.booleans.push_back(boolean);
      } else {
        out[at].value = value;
        r.decision_.booleans[at] = boolean;
      }
    }
    return true;
  }

  bool candidates(element e) {
    if (e.type() != element_type::ARRAY) return decline("candidates is not an array");
    const simdjson::dom::array list = e.get_array().value_unsafe();
    for (element pair : list) {
      if (pair.type() != element_type::ARRAY) return decline("a candidate is not an array");
      simdjson::dom::array items = pair.get_array().value_unsafe();
      if (items.size() != 2) return decline("a candidate is not an [id, features] pair");
      auto it = items.begin();
      std::string_view id;
      if (!to_text(*it, id, r.marked_)) return decline("a candidate's id is not a string");
      ++it;
      if (!features(*it)) return false;
      r.decision_.candidates.push_back({id, {}});
      r.candidate_ends_.push_back(r.decision_.features.size());
    }
    return true;
  }

  bool record_features(element e) {
    if (e.type() != element_type::ARRAY) return decline("record.features is not an array");
    std::vector<FeaturePair>& out = r.decision_.record.features;
    const simdjson::dom::array list = e.get_array().value_unsafe();
    for (element pair : list) {
      if (pair.type() != element_type::ARRAY) return decline("a feature pair is not an array");
      simdjson::dom::array items = pair.get_array().value_unsafe();
      if (items.size() != 2) return decline("a feature pair is not [index, value]");
      auto it = items.begin();
      FeaturePair p;
      if (!to_uint(*it, p.index)) return decline("a feature index is not an unsigned integer");
      ++it;
      if (!to_number(*it, p.value, r.marked_)) return decline("a feature value is not a number");
      out.push_back(p);
    }
    return true;
  }

  bool record(element e) {
    if (e.type() != element_type::OBJECT) return decline("record is not an object");
    // The last value of each key, as json.loads keeps it.
    element decision_id, t, candidate_hash, chosen, feature_list, propensity, model_version, salt;
    unsigned found = 0;
    const simdjson::dom::object fields = e.get_object().value_unsafe();
    for (simdjson::dom::key_value_pair field : fields) {
      const std::string_view k = field.key;
      if (k == "decision_id") decision_id = field.value, found |= 1;
      else if (k == "t") t = field.value, found |= 2;
      else if (k == "candidate_hash") candidate_hash = field.value, found |= 4;
      else if (k == "chosen") chosen = field.value, found |= 8;
      else if (k == "features") feature_list = field.value, found |= 16;
      else if (k == "propensity") propensity = field.value, found |= 32;
      else if (k == "model_version") model_version = field.value, found |= 64;
      else if (k == "salt") salt = field.value, found |= 128;
    }
    if (found != 255) return decline("the record lacks a field");
    LoggedRecord& out = r.decision_.record;
    if (!to_text(decision_id, out.decision_id, r.marked_)) return decline("record.decision_id is not a string");
    if (!to_number(t, out.t, r.marked_)) return decline("record.t is not a number");
    if (!to_uint(candidate_hash, out.candidate_hash)) return decline("record.candidate_hash is not unsigned");
    if (!to_uint(chosen, out.chosen)) return decline("record.chosen is not unsigned");
    if (!to_number(propensity, out.propensity, r.marked_)) return decline("record.propensity is not a number");
    if (!to_uint(model_version, out.model_version)) return decline("record.model_version is not unsigned");
    if (!to_text(salt, out.salt, r.marked_)) return decline("record.salt is not a string");
    return record_features(feature_list);
  }

  bool decision(element bits, element context, element candidate_list, element record_object,
                unsigned found) {
    if ((found & 0x1e) != 0x1e) return decline("the decision line lacks a key");
    DecisionLine& d = r.decision_;
    d.features.clear();
    d.booleans.clear();
    d.candidates.clear();
    d.record.features.clear();
    r.candidate_ends_.clear();
    uint64_t b;
    if (!to_uint(bits, b) || b > UINT32_MAX) return decline("bits is not a 32-bit unsigned integer");
    d.bits = static_cast<uint32_t>(b);
    // The module reads the candidates first, then the context, then each
    // candidate's features; only the order of refusals depends on it, and
    // any refusal declines the line.
    if (!features(context)) return false;
    d.context_size = d.features.size();
    if (!candidates(candidate_list)) return false;
    if (!record(record_object)) return false;
    size_t begin = d.context_size;
    for (size_t i = 0; i < d.candidates.size(); ++i) {
      const size_t end = r.candidate_ends_[i];
      d.candidates[i].features = std::span<const NamedFeature>(d.features.data() + begin, end - begin);
      begin = end;
    }
    return true;
  }

  bool resolution(element decision_id, element kind, element reward, unsigned found) {
    if ((found & 0xe0) != 0xe0) return decline("the resolution line lacks a key");
    ResolutionLine& out = r.resolution_;
    if (!to_text(decision_id, out.decision_id, r.marked_)) return decline("decision_id is not a string");
    std::string_view k;
    if (!to_text(kind, k, r.marked_)) return decline("kind is not a string");
    if (k == "rewarded") {
      out.kind = ResolutionKind::rewarded;
    } else if (k == "expired") {
      out.kind = ResolutionKind::expired;
    } else {
      return decline("kind is neither rewarded nor expired");
    }
    if (!to_number(reward, out.reward, r.marked_)) return decline("the reward is not a number");
    return true;
  }
};

LogReader::LogReader() : parser_(std::make_unique<Parser>()) {}
LogReader::~LogReader() = default;

LineKind LogReader::read(std::string_view line) {
  why_ = "";
  if (line.size() > kMaxLine) {
    why_ = "the line is too long";
    return LineKind::declined;
  }
  // A byte-order mark is read differently by different readers.
  if (!line.empty() && static_cast<unsigned char>(line[0]) == 0xef) {
    why_ = "the line starts with a byte-order mark";
    return LineKind::declined;
  }
  if (!features_where_python_reader_looks(line)) {
    why_ = "the record's feature list is not where the Python reader looks for it";
    return LineKind::declined;
  }
  std::string& copy = parser_->copy;
  marked_ = false;
  if (has_special_token(line)) {
    if (!rewrite_special_tokens(line, copy, marked_)) {
      why_ = "the line holds special numbers it cannot be read with";
      return LineKind::declined;
    }
  } else {
    copy.assign(line);
  }
  const size_t size = copy.size();
  copy.append(simdjson::SIMDJSON_PADDING, '\0');
  element doc;
  if (parser_->dom.parse(copy.data(), size, false).get(doc) != simdjson::SUCCESS) {
    why_ = "the line is not JSON that the fast reader takes";
    return LineKind::declined;
  }
  if (doc.type() != element_type::OBJECT) {
    why_ = "the line is not an object";
    return LineKind::declined;
  }
  element event, bits, context, candidates, record, decision_id, kind, reward;
  unsigned found = 0;
  const simdjson::dom::object fields = doc.get_object().value_unsafe();
  for (simdjson::dom::key_value_pair field : fields) {
    const std::string_view k = field.key;
    if (k == "event") event = field.value, found |= 1;
    else if (k == "bits") bits = field.value, found |= 2;
    else if (k == "context") context = field.value, found |= 4;
    else if (k == "candidates") candidates = field.value, found |= 8;
    else if (k == "record") record = field.value, found |= 16;
    else if (k == "decision_id") decision_id = field.value, found |= 32;
    else if (k == "kind") kind = field.value, found |= 64;
    else if (k == "reward") reward = field.value, found |= 128;
  }
  std::string_view name;
  if (!(found & 1) || !to_text(event, name, marked_)) {
    why_ = "the line has no event";
    return LineKind::declined;
  }
  LineConverter convert{*this};
  if (name == "decision") {
    return convert.decision(bits, context, candidates, record, found) ? LineKind::decision
                                                                       : LineKind::declined;
  }
  if (name == "resolution") {
    return convert.resolution(decision_id, kind, reward, found) ? LineKind::resolution
                                                                : LineKind::declined;
  }
  why_ = "the event is neither a decision nor a resolution";
  return LineKind::declined;
}

}  // namespace sorvane::toolkit
