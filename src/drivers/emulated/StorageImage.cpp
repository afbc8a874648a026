// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "drivers/emulated/StorageImage.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>

#include "base/Error.h"
#include "base/Messages.h"
#include "base/SafeFile.h"
#include "drivers/TorvelSettings.h"
#include "drivers/emulated/SyntheticDocuments.h"
#include "tlv/StringUtils.h"

namespace kvitor {

using nlohmann::json;

namespace {

constexpr std::array<std::string_view, 12> kOperationNames = {
    "OpenDevice",         "AuxiliaryRequest1",  "AuxiliaryRequest2",   "ReleaseDevice",
    "ShowSettingsDialog", "QueryStorageStatus", "QueryRegisterStatus", "QueryModelParameter",
    "ReadTableField",     "BeginDocumentRead",  "ReadDocumentBlock",   "QueryConfirmation"};

// A storage image larger than this is refused rather than read into memory.
constexpr std::size_t kMaxImageBytes = 256u << 20;
// Enough for any benchmark; the shift layout then takes about 13 MB.
constexpr int64_t kMaxSyntheticCount = 50'000'000;

constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<int64_t> ParseDecimal(std::string_view s) {
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return value;
}

// What was found where something else was expected, short enough for a message.
std::string Found(const json& v) {
  if (v.is_object() || v.is_array()) return Fmt(TrEn("an %s"), std::string(v.type_name()));
  std::string text = v.dump();
  if (text.size() > 40) text = text.substr(0, 37) + "...";
  return text;
}

// Deeper than any member of the format (documents[i].ticket.data is 4).
constexpr int kMaxDepth = 32;
// Values kept as a tree outside the documents, and inside one document.
constexpr std::size_t kMaxValues = std::size_t{1} << 20;

// The SAX side of the loader: builds the members of the data file as JSON
// values, except the elements of the top-level "documents" array, each of
// which goes to onDocument as soon as it is complete and is then dropped.
// Depth and the number of values kept are bounded, so that a hostile file
// (ten million "[", a megabyte of numbers in an unknown member) is refused
// early instead of being built.
class TImageSax {
 public:
  using number_integer_t = json::number_integer_t;
  using number_unsigned_t = json::number_unsigned_t;
  using number_float_t = json::number_float_t;
  using string_t = json::string_t;
  using binary_t = json::binary_t;

  explicit TImageSax(std::function<void(std::size_t, const json&)> onDocument)
      : onDocument_(std::move(onDocument)) {}

  json& Root() { return root_; }
  // Why the pass stopped, when it stopped early.
  [[nodiscard]] const std::string& Refusal() const { return refusal_; }

  bool null() { return Place(nullptr); }
  bool boolean(bool value) { return Place(value); }
  bool number_integer(number_integer_t value) { return Place(value); }
  bool number_unsigned(number_unsigned_t value) { return Place(value); }
  bool number_float(number_float_t value, const string_t& /*text*/) { return Place(value); }
  bool string(string_t& value) { return Place(std::move(value)); }
  bool binary(binary_t& value) { return Place(json::binary(std::move(value))); }
  bool key(string_t& name) {
    key_ = std::move(name);
    return true;
  }
  bool start_object(std::size_t /*size*/) { return Open(json::object()); }
  bool start_array(std::size_t /*size*/) {
    if (stack_.size() == 1 && stack_.back() == &root_ && !inDocuments_ && key_ == "documents") {
      if (++depth_ > kMaxDepth) return Refuse(Fmt(TrEn("nested deeper than %s levels"), kMaxDepth));
      inDocuments_ = true;
      root_.erase("documents");
      return true;
    }
    return Open(json::array());
  }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }
  bool parse_error(std::size_t position, const std::string& /*token*/, const json::exception& e) {
    // Syntax errors, and numbers out of range ("1e400"), which the parser
    // raises as out_of_range rather than parse_error.
    refusal_ = JsonRefusalText(e.id, position, e.what());
    return false;
  }

 private:
  bool Refuse(std::string why) {
    refusal_ = std::move(why);
    return false;
  }

  // Inside the documents array, not inside one of its elements: only the
  // root object is open.
  [[nodiscard]] bool BetweenDocuments() const { return inDocuments_ && stack_.size() == 1; }

  bool Place(json&& value) {
    const bool container = value.is_object() || value.is_array();
    const bool element = BetweenDocuments();
    if (element) kept_ = values_;
    if (++values_ > kMaxValues) {
      return Refuse(inDocuments_
                        ? Fmt(TrEn("member documents[%s]: more than %s values"), index_, kMaxValues)
                        : Fmt(TrEn("more than %s values outside the documents"), kMaxValues));
    }
    json* placed = nullptr;
    if (element) {
      document_ = std::move(value);
      placed = &document_;
    } else if (stack_.empty()) {
      root_ = std::move(value);
      placed = &root_;
    } else if (json& top = *stack_.back(); top.is_array()) {
      placed = &top.emplace_back(std::move(value));
    } else {
      placed = &(top[key_] = std::move(value));
    }
    if (container) {
      stack_.push_back(placed);
    } else if (element) {
      Deliver();
    }
    return true;
  }

  bool Open(json&& container) {
    if (++depth_ > kMaxDepth) return Refuse(Fmt(TrEn("nested deeper than %s levels"), kMaxDepth));
    return Place(std::move(container));
  }

  bool Close() {
    --depth_;
    if (BetweenDocuments()) {
      inDocuments_ = false;  // the end of the documents array
      return true;
    }
    stack_.pop_back();
    if (BetweenDocuments()) Deliver();
    return true;
  }

  void Deliver() {
    onDocument_(index_++, document_);
    document_ = nullptr;
    values_ = kept_;
  }

  std::function<void(std::size_t, const json&)> onDocument_;
  json root_;
  json document_;
  std::vector<json*> stack_;  // the open containers: root_, then those of document_
  std::string key_;
  std::string refusal_;
  bool inDocuments_ = false;
  std::size_t index_ = 0;
  int depth_ = 0;
  std::size_t values_ = 0;
  std::size_t kept_ = 0;  // values_ outside the documents when one begins
};

}  // namespace

bool IsTorvelOperationName(std::string_view name) {
  return std::find(kOperationNames.begin(), kOperationNames.end(), name) != kOperationNames.end();
}

// Reads the JSON members into an image; every error names the file and the
// member.
class TStorageImageLoader {
 public:
  explicit TStorageImageLoader(std::string name) : name_(std::move(name)) {}

  std::shared_ptr<const TStorageImage> Load(std::string_view text) {
    std::shared_ptr<TStorageImage> image(new TStorageImage());
    image_ = image.get();
    TImageSax sax([this](std::size_t i, const json& d) { ReadDocument(i, d); });
    if (!json::sax_parse(text.begin(), text.end(), &sax)) Fail(sax.Refusal());
    const json& root = sax.Root();
    if (!root.is_object()) Fail(Fmt(TrEn("expected a JSON object, found %s"), Found(root)));
    // documents in any other form than an array stays in the tree, to be
    // refused here.
    (void)Array(root, "documents", "documents");
    SortDocuments();

    const json* storage = Object(root, "storage", "storage");
    ReadSmallMembers(root);
    ReadTables(root);
    ReadSynthetic(root, storage);
    ReadStorage(root, storage);
    ReadFaults(root);
    return image;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw Error(Fmt(TrEn("Storage image \"%s\": %s"), name_, what));
  }
  [[noreturn]] void Fail(const std::string& member, const std::string& what) const {
    Fail(Fmt(TrEn("member %s: %s"), member, what));
  }

  static std::string WithoutPrefix(const std::string& message) {
    const std::size_t end = message.find("] ");
    return end == std::string::npos ? message : message.substr(end + 2);
  }

  // The member, or nullptr when it is absent or null.
  static const json* Find(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
  }

  const json* Object(const json& parent, const char* key, const std::string& member) const {
    const json* v = Find(parent, key);
    if (v != nullptr && !v->is_object())
      Fail(member, Fmt(TrEn("expected an object, found %s"), Found(*v)));
    return v;
  }

  const json* Array(const json& parent, const char* key, const std::string& member) const {
    const json* v = Find(parent, key);
    if (v != nullptr && !v->is_array())
      Fail(member, Fmt(TrEn("expected an array, found %s"), Found(*v)));
    return v;
  }

  int64_t Int(const json& v, const std::string& member, int64_t min, int64_t max) const {
    if (!v.is_number_integer()) Fail(member, Fmt(TrEn("expected an integer, found %s"), Found(v)));
    if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(max)) {
      Fail(member, Fmt(TrEn("value %s out of range %s..%s"), v.dump(), min, max));
    }
    const auto value = v.get<int64_t>();
    if (value < min || value > max) {
      Fail(member, Fmt(TrEn("value %s out of range %s..%s"), value, min, max));
    }
    return value;
  }

  std::string Utf8(const json& v, const std::string& member) const {
    if (!v.is_string()) Fail(member, Fmt(TrEn("expected a string, found %s"), Found(v)));
    return v.get<std::string>();
  }

  std::u16string Text(const json& v, const std::string& member) const {
    return Utf8ToUtf16(Utf8(v, member));
  }

  TDateTime Date(const json& v, const std::string& member) const {
    const std::string s = Utf8(v, member);
    const auto bad = [&] { Fail(member, Fmt(TrEn("bad date \"%s\", expected YYYY-MM-DD"), s)); };
    if (s.size() != 10 || s[4] != '-' || s[7] != '-') bad();
    const auto y = ParseDecimal(std::string_view(s).substr(0, 4));
    const auto m = ParseDecimal(std::string_view(s).substr(5, 2));
    const auto d = ParseDecimal(std::string_view(s).substr(8, 2));
    if (!y || !m || !d || *y < 1) bad();
    const std::chrono::year_month_day ymd{std::chrono::year(static_cast<int>(*y)),
                                          std::chrono::month(static_cast<unsigned>(*m)),
                                          std::chrono::day(static_cast<unsigned>(*d))};
    if (!ymd.ok()) bad();
    TDateTimeParts parts;
    parts.Year = static_cast<int>(*y);
    parts.Month = static_cast<int>(*m);
    parts.Day = static_cast<int>(*d);
    return EncodeDateTime(parts);
  }

  TDateTime Time(const json& v, const std::string& member) const {
    const std::string s = Utf8(v, member);
    const auto bad = [&] { Fail(member, Fmt(TrEn("bad time \"%s\", expected HH:MM:SS"), s)); };
    if (s.size() != 8 || s[2] != ':' || s[5] != ':') bad();
    const auto h = ParseDecimal(std::string_view(s).substr(0, 2));
    const auto m = ParseDecimal(std::string_view(s).substr(3, 2));
    const auto sec = ParseDecimal(std::string_view(s).substr(6, 2));
    if (!h || !m || !sec || *h < 0 || *h > 23 || *m < 0 || *m > 59 || *sec < 0 || *sec > 59) bad();
    return static_cast<double>((*h * 60 + *m) * 60 + *sec) / kSecondsPerDay;
  }

  // Pairs of hexadecimal digits; blanks may stand between the pairs.
  void AppendHex(const json& v, const std::string& member, std::string& bytes) const {
    if (!v.is_string()) Fail(member, Fmt(TrEn("expected a string, found %s"), Found(v)));
    const std::string& s = v.get_ref<const std::string&>();
    bytes.reserve(bytes.size() + s.size() / 2);
    std::size_t i = 0;
    while (i < s.size()) {
      if (IsBlank(s[i])) {
        ++i;
        continue;
      }
      const int hi = HexDigit(s[i]);
      if (hi < 0) Fail(member, Fmt(TrEn("bad hexadecimal at offset %s"), i));
      if (i + 1 >= s.size()) {
        Fail(member, Fmt(TrEn("odd number of hexadecimal digits at offset %s"), i));
      }
      const int lo = HexDigit(s[i + 1]);
      if (lo < 0) Fail(member, Fmt(TrEn("bad hexadecimal at offset %s"), i + 1));
      bytes.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    }
  }

  void ReadSmallMembers(const json& root) {
    if (const json* v = Find(root, "block_size")) {
      image_->blockSize_ = static_cast<int>(Int(*v, "block_size", 1, 0xFFFF));
    }
    if (const json* v = Find(root, "delay_ms")) {
      image_->delayMs_ = static_cast<int>(Int(*v, "delay_ms", 0, kMaxDelayMs));
    }
    if (const json* params = Object(root, "model_parameters", "model_parameters")) {
      for (const auto& [key, value] : params->items()) {
        const std::string member = "model_parameters." + key;
        const auto number = ParseDecimal(key);
        if (!number) Fail(member, TrEn("the key is not a parameter number"));
        if (value.is_string())
          image_->modelParameters_[*number] = Text(value, member);
        else
          image_->modelParameters_[*number] = Int(value, member, INT64_MIN, INT64_MAX);
      }
    }
  }

  void ReadTables(const json& root) {
    const json* tables = Object(root, "tables", "tables");
    if (tables == nullptr) return;
    tablesGiven_ = true;
    for (const auto& [key, value] : tables->items()) {
      const std::string member = "tables." + key;
      std::array<int64_t, 3> address{};
      std::string_view rest = key;
      for (std::size_t k = 0; k < 3; ++k) {
        const std::size_t comma = k < 2 ? rest.find(',') : rest.size();
        const auto n =
            comma == std::string_view::npos ? std::nullopt : ParseDecimal(rest.substr(0, comma));
        if (!n) Fail(member, TrEn("the key is not \"table,row,field\""));
        address[k] = *n;
        rest = comma < rest.size() ? rest.substr(comma + 1) : std::string_view();
      }
      image_->tables_[address] = Text(value, member);
    }
  }

  void ReadDocument(std::size_t i, const json& d) {
    const std::string member = "documents[" + std::to_string(i) + "]";
    if (!d.is_object()) Fail(member, Fmt(TrEn("expected an object, found %s"), Found(d)));
    TStorageImage::TDocumentEntry entry;
    entry.Index = static_cast<uint32_t>(i);
    entry.Number = static_cast<int32_t>(
        Int(Required(d, "number", member), member + ".number", kInt32Min, kInt32Max));
    entry.Type = static_cast<int32_t>(
        Int(Required(d, "type", member), member + ".type", kInt32Min, kInt32Max));
    std::string& bodies = image_->bodies_;
    entry.BodyOffset = bodies.size();
    if (const json* v = Find(d, "tlv")) AppendHex(*v, member + ".tlv", bodies);
    entry.BodySize = static_cast<uint32_t>(bodies.size() - entry.BodyOffset);
    entry.DataLength = static_cast<int32_t>(entry.BodySize);
    if (const json* v = Find(d, "data_length")) {
      entry.DataLength =
          static_cast<int32_t>(Int(*v, member + ".data_length", kInt32Min, kInt32Max));
    }
    if (const json* t = Object(d, "ticket", member + ".ticket")) {
      entry.Ticket = static_cast<int32_t>(image_->tickets_.size());
      image_->tickets_.push_back(Ticket(*t, member + ".ticket", entry.Number));
    }
    image_->documents_.push_back(entry);
  }

  // Into number order; a number given twice names both places.
  void SortDocuments() {
    auto& documents = image_->documents_;
    documents.shrink_to_fit();
    image_->bodies_.shrink_to_fit();
    image_->tickets_.shrink_to_fit();
    std::stable_sort(documents.begin(), documents.end(),
                     [](const auto& a, const auto& b) { return a.Number < b.Number; });
    const TStorageImage::TDocumentEntry* first = nullptr;
    const TStorageImage::TDocumentEntry* again = nullptr;
    for (std::size_t k = 1; k < documents.size(); ++k) {
      if (documents[k].Number != documents[k - 1].Number) continue;
      std::size_t start = k - 1;
      while (start > 0 && documents[start - 1].Number == documents[k].Number) --start;
      if (again == nullptr || documents[k].Index < again->Index) {
        first = &documents[start];
        again = &documents[k];
      }
    }
    if (again != nullptr) {
      Fail("documents[" + std::to_string(again->Index) + "].number",
           Fmt(TrEn("number %s is also documents[%s]'s"), again->Number, first->Index));
    }
  }

  TTicketImage Ticket(const json& t, const std::string& member, int32_t number) const {
    TTicketImage ticket;
    ticket.DocumentNumber = number;
    if (const json* v = Find(t, "data")) ticket.Data = Text(*v, member + ".data");
    if (const json* v = Find(t, "date")) ticket.Date = Date(*v, member + ".date");
    if (const json* v = Find(t, "time")) ticket.Time = Time(*v, member + ".time");
    if (const json* v = Find(t, "fiscal_sign"))
      ticket.FiscalSign = Text(*v, member + ".fiscal_sign");
    if (const json* v = Find(t, "document_number")) {
      ticket.DocumentNumber =
          static_cast<int32_t>(Int(*v, member + ".document_number", kInt32Min, kInt32Max));
    }
    return ticket;
  }

  const json& Required(const json& object, const char* key, const std::string& member) const {
    const json* v = Find(object, key);
    if (v == nullptr) Fail(member, Fmt(TrEn("the member \"%s\" is missing"), std::string(key)));
    return *v;
  }

  void ReadSynthetic(const json& root, const json* storage) {
    const json* s = Object(root, "synthetic", "synthetic");
    if (s == nullptr) return;
    const int64_t count =
        Int(Required(*s, "count", "synthetic"), "synthetic.count", 0, kMaxSyntheticCount);
    uint64_t seed = 0;
    if (const json* v = Find(*s, "seed")) {
      if (!v->is_number_integer())
        Fail("synthetic.seed", Fmt(TrEn("expected an integer, found %s"), Found(*v)));
      seed =
          v->is_number_unsigned() ? v->get<uint64_t>() : static_cast<uint64_t>(v->get<int64_t>());
    }
    bool ffd12 = false;
    if (const json* v = Find(*s, "ffd12")) {
      if (!v->is_boolean())
        Fail("synthetic.ffd12", Fmt(TrEn("expected true or false, found %s"), Found(*v)));
      ffd12 = v->get<bool>();
    }
    const int64_t first =
        image_->documents_.empty() ? 1 : int64_t{image_->documents_.back().Number} + 1;
    if (count > 0 && first + count - 1 > kInt32Max) {
      Fail("synthetic.count",
           Fmt(TrEn("%s documents after number %s pass %s"), count, first - 1, kInt32Max));
    }
    TSyntheticDocuments::TIdentity identity;
    if (storage != nullptr) {
      if (const json* v = Find(*storage, "serial_number")) {
        identity.FNNumber = Utf8(*v, "storage.serial_number");
      }
    }
    if (const auto rn = image_->TableField(RegistrationTable(), 1, 3)) {
      identity.RegNumber = Utf16ToCp1251(*rn);
    }
    image_->synthetic_ = std::make_unique<TSyntheticDocuments>(
        seed, static_cast<int32_t>(count), static_cast<int32_t>(first), !image_->documents_.empty(),
        identity, ffd12);
  }

  // The table that holds the registration number, as the reader finds it.
  [[nodiscard]] int64_t RegistrationTable() const {
    const auto it = image_->modelParameters_.find(72);
    if (it != image_->modelParameters_.end() && std::holds_alternative<int64_t>(it->second)) {
      return std::get<int64_t>(it->second);
    }
    return 18;
  }

  void ReadStorage(const json& root, const json* storage) {
    const TSyntheticDocuments* synthetic = image_->synthetic_.get();
    const bool generated = synthetic != nullptr && synthetic->Count() > 0;
    if (!tablesGiven_) {
      image_->tables_[{18, 1, 3}] =
          generated ? Utf8ToUtf16(synthetic->RegNumber()) : std::u16string();
    }
    int64_t last = 0;
    if (generated)
      last = synthetic->FirstNumber() + synthetic->Count() - 1;
    else if (!image_->documents_.empty())
      last = image_->documents_.back().Number;
    image_->lastDocumentNumber_ = static_cast<int32_t>(last);
    image_->shiftCount_ = generated ? synthetic->ShiftCount() : 0;
    if (const json* v = Find(root, "shift_count")) {
      image_->shiftCount_ = Int(*v, "shift_count", kInt32Min, kInt32Max);
    }
    if (generated) {
      image_->serialNumber_ = Utf8ToUtf16(synthetic->FNNumber());
      const int64_t seconds = synthetic->TimeOf(static_cast<int32_t>(last));
      const int64_t wholeDays = seconds / 86400;
      image_->date_ = kUnixEpoch + static_cast<double>(wholeDays);
      image_->time_ = static_cast<double>(seconds % 86400) / kSecondsPerDay;
    }
    if (storage != nullptr) {
      if (const json* v = Find(*storage, "serial_number")) {
        image_->serialNumber_ = Text(*v, "storage.serial_number");
      }
      if (const json* v = Find(*storage, "status")) {
        if (!v->is_array() || v->size() != 5) {
          Fail("storage.status", Fmt(TrEn("expected an array of 5 integers, found %s"), Found(*v)));
        }
        for (std::size_t i = 0; i < 5; ++i) {
          image_->status_[i] =
              Int((*v)[i], "storage.status[" + std::to_string(i) + "]", INT64_MIN, INT64_MAX);
        }
      }
      if (const json* v = Find(*storage, "date")) image_->date_ = Date(*v, "storage.date");
      if (const json* v = Find(*storage, "time")) image_->time_ = Time(*v, "storage.time");
      if (const json* v = Find(*storage, "last_document_number")) {
        image_->lastDocumentNumber_ =
            static_cast<int32_t>(Int(*v, "storage.last_document_number", kInt32Min, kInt32Max));
      }
    }
  }

  void ReadFaults(const json& root) {
    const json* faults = Array(root, "faults", "faults");
    if (faults == nullptr) return;
    for (std::size_t i = 0; i < faults->size(); ++i) {
      const std::string member = "faults[" + std::to_string(i) + "]";
      const json& f = (*faults)[i];
      if (!f.is_object()) Fail(member, Fmt(TrEn("expected an object, found %s"), Found(f)));
      TFaultImage fault;
      fault.Operation = Utf8(Required(f, "operation", member), member + ".operation");
      if (!IsTorvelOperationName(fault.Operation)) {
        Fail(member + ".operation", Fmt(TrEn("unknown operation \"%s\""), fault.Operation));
      }
      if (const json* d = Find(f, "document")) {
        fault.Document = static_cast<int32_t>(Int(*d, member + ".document", kInt32Min, kInt32Max));
      }
      fault.Code = static_cast<int32_t>(
          Int(Required(f, "code", member), member + ".code", kInt32Min, kInt32Max));
      // A fault that reports success would hide that the operation did nothing.
      if (fault.Code == 0) Fail(member + ".code", TrEn("a fault's code must not be 0"));
      if (const json* d = Find(f, "description")) {
        fault.Description = Text(*d, member + ".description");
      }
      image_->faults_.push_back(std::move(fault));
    }
  }

  std::string name_;
  TStorageImage* image_ = nullptr;
  bool tablesGiven_ = false;
};

TStorageImage::~TStorageImage() = default;

std::shared_ptr<const TStorageImage> TStorageImage::LoadText(std::string_view text,
                                                             const std::string& name) {
  return TStorageImageLoader(name).Load(text);
}

std::shared_ptr<const TStorageImage> TStorageImage::LoadFile(const std::string& path) {
  std::string text;
  try {
    text = ReadRegularFile(path, kMaxImageBytes);
  } catch (const TFileReadError& e) {
    throw Error(Fmt(TrEn("Storage image \"%s\": cannot be read: %s"), path, std::string(e.what())));
  }
  return LoadText(text, path);
}

std::optional<TPropertyValue> TStorageImage::ModelParameter(int64_t number) const {
  const auto it = modelParameters_.find(number);
  if (it == modelParameters_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::u16string> TStorageImage::TableField(int64_t table, int64_t row,
                                                        int64_t field) const {
  const auto it = tables_.find({table, row, field});
  if (it == tables_.end()) return std::nullopt;
  return it->second;
}

int64_t TStorageImage::DocumentCount() const {
  return static_cast<int64_t>(documents_.size()) + (synthetic_ ? synthetic_->Count() : 0);
}

const TStorageImage::TDocumentEntry* TStorageImage::FindEntry(int64_t number) const {
  const auto it =
      std::lower_bound(documents_.begin(), documents_.end(), number,
                       [](const TDocumentEntry& e, int64_t n) { return int64_t{e.Number} < n; });
  return it != documents_.end() && it->Number == number ? &*it : nullptr;
}

TDocumentImage TStorageImage::Explicit(const TDocumentEntry& entry) const {
  TDocumentImage doc;
  doc.Number = entry.Number;
  doc.Type = entry.Type;
  doc.DataLength = entry.DataLength;
  doc.Body = bodies_.substr(entry.BodyOffset, entry.BodySize);
  if (entry.Ticket >= 0) doc.Ticket = tickets_[static_cast<std::size_t>(entry.Ticket)];
  return doc;
}

bool TStorageImage::HasDocument(int64_t number) const {
  if (number < kInt32Min || number > kInt32Max) return false;
  return FindEntry(number) != nullptr || (synthetic_ && synthetic_->Contains(number));
}

std::optional<TDocumentImage> TStorageImage::FindDocument(int64_t number) const {
  if (!HasDocument(number)) return std::nullopt;
  if (const TDocumentEntry* entry = FindEntry(number)) return Explicit(*entry);
  const auto n = static_cast<int32_t>(number);
  TDocumentImage doc;
  doc.Number = n;
  doc.Type = synthetic_->TypeOf(n);
  doc.Body = synthetic_->BodyOf(n);
  doc.DataLength = static_cast<int32_t>(doc.Body.size());
  doc.Ticket = synthetic_->TicketOf(n);
  return doc;
}

std::optional<TStorageImage::TDocumentHead> TStorageImage::ReadDocument(int64_t number,
                                                                        std::string& body) const {
  if (!HasDocument(number)) return std::nullopt;
  if (const TDocumentEntry* entry = FindEntry(number)) {
    body.assign(bodies_, entry->BodyOffset, entry->BodySize);
    return TDocumentHead{entry->Type, entry->DataLength};
  }
  const int32_t type = synthetic_->BodyInto(static_cast<int32_t>(number), body);
  return TDocumentHead{type, static_cast<int32_t>(body.size())};
}

std::optional<TTicketImage> TStorageImage::FindTicket(int64_t number) const {
  if (!HasDocument(number)) return std::nullopt;
  if (const TDocumentEntry* entry = FindEntry(number)) {
    if (entry->Ticket < 0) return std::nullopt;
    return tickets_[static_cast<std::size_t>(entry->Ticket)];
  }
  return synthetic_->TicketOf(static_cast<int32_t>(number));
}

bool TStorageImage::ReadTicket(int64_t number, TTicketImage& ticket) const {
  if (!HasDocument(number)) return false;
  if (const TDocumentEntry* entry = FindEntry(number)) {
    if (entry->Ticket < 0) return false;
    ticket = tickets_[static_cast<std::size_t>(entry->Ticket)];
    return true;
  }
  return synthetic_->TicketInto(static_cast<int32_t>(number), ticket);
}

std::vector<int32_t> TStorageImage::DocumentNumbers() const {
  std::vector<int32_t> numbers;
  numbers.reserve(static_cast<std::size_t>(DocumentCount()));
  for (const auto& entry : documents_) numbers.push_back(entry.Number);
  if (synthetic_) {
    for (int32_t i = 0; i < synthetic_->Count(); ++i)
      numbers.push_back(synthetic_->FirstNumber() + i);
  }
  return numbers;
}

const TFaultImage* TStorageImage::FindFault(std::string_view operation,
                                            int64_t documentNumber) const {
  for (const TFaultImage& f : faults_) {
    if (f.Operation == operation && (!f.Document || *f.Document == documentNumber)) return &f;
  }
  return nullptr;
}

}  // namespace kvitor
