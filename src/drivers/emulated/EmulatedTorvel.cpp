// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "drivers/emulated/EmulatedTorvel.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

#include "base/Error.h"
#include "base/Messages.h"
#include "tlv/StringUtils.h"

namespace kvitor {

// One emulated device: the image it serves, loaded once and then shared, and
// the instance that holds it.
class TDeviceSlot {
 public:
  explicit TDeviceSlot(std::string key) : key_(std::move(key)) {}

  // Loads the image on first use; Error when it cannot be loaded (the next
  // call tries again, so that a mended file is picked up). Once loaded it
  // stays for the slot's life.
  const TStorageImage& ImageLocked() {
    if (!image_) {
      image_ = key_ == kDemoStorageName
                   ? TStorageImage::LoadText(DemoStorageJson(), std::string(kDemoStorageName))
                   : TStorageImage::LoadFile(key_);
    }
    return *image_;
  }

  std::mutex Mutex;  // guards the image and Holder
  const TEmulatedTorvel* Holder = nullptr;

 private:
  std::string key_;
  std::shared_ptr<const TStorageImage> image_;
};

namespace {

// The devices by image: the canonical path of the file, or ":demo:". A slot
// lives while an instance refers to it.
class TDeviceRegistry {
 public:
  std::shared_ptr<TDeviceSlot> Slot(const std::string& imagePath) {
    const std::string key = imagePath.empty() ? std::string(kDemoStorageName) : Key(imagePath);
    std::lock_guard lock(mutex_);
    std::erase_if(slots_, [](const auto& entry) { return entry.second.expired(); });
    if (auto slot = slots_[key].lock()) return slot;
    auto slot = std::make_shared<TDeviceSlot>(key);
    slots_[key] = slot;
    return slot;
  }

 private:
  static std::string Key(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, ec);
    if (!ec) return canonical.string();
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
  }

  std::mutex mutex_;
  std::map<std::string, std::weak_ptr<TDeviceSlot>> slots_;
};

TDeviceRegistry& Registry() {
  static TDeviceRegistry registry;
  return registry;
}

std::u16string U16(const std::string& utf8) { return Utf8ToUtf16(utf8); }

std::u16string NoErrors() { return U16(Tr("Ошибок нет")); }

// The places of the known properties in the table, by number: looked up on
// every property access.
constexpr int kKnownLimit = [] {
  int limit = 0;
  for (const auto& property : kTorvelProperties) limit = std::max(limit, property.Id + 1);
  return limit;
}();
constexpr auto kKnownIndex = [] {
  std::array<int8_t, kKnownLimit> index{};
  index.fill(-1);
  for (std::size_t i = 0; i < kTorvelProperties.size(); ++i) {
    index[static_cast<std::size_t>(kTorvelProperties[i].Id)] = static_cast<int8_t>(i);
  }
  return index;
}();

}  // namespace

TEmulatedTorvel::TEmulatedTorvel(TOptions options) : options_(std::move(options)) {
  if (options_.SetupError.empty()) slot_ = Registry().Slot(options_.ImagePath);
}

TEmulatedTorvel::~TEmulatedTorvel() {
  if (!slot_) return;
  std::lock_guard lock(slot_->Mutex);
  if (slot_->Holder == this) slot_->Holder = nullptr;
}

bool TEmulatedTorvel::HoldsDevice() const {
  if (!slot_) return false;
  std::lock_guard lock(slot_->Mutex);
  return slot_->Holder == this;
}

TEmulatedTorvel::TOutcome TEmulatedTorvel::Reach() {
  if (held_ != nullptr) return {};
  if (!slot_) return {TTorvelResult::SetupError, U16(options_.SetupError)};
  std::lock_guard lock(slot_->Mutex);
  if (slot_->Holder != nullptr && slot_->Holder != this)
    return {TTorvelResult::DeviceBusy, U16(Tr("Устройство занято другим подключением"))};
  try {
    held_ = &slot_->ImageLocked();
  } catch (const std::exception& e) {
    return {TTorvelResult::SetupError, U16(e.what())};
  }
  slot_->Holder = this;
  return {};
}

const TStorageImage* TEmulatedTorvel::Peek() {
  if (held_ != nullptr) return held_;
  if (!slot_) return nullptr;
  std::lock_guard lock(slot_->Mutex);
  try {
    return &slot_->ImageLocked();
  } catch (const std::exception&) {
    return nullptr;
  }
}

int TEmulatedTorvel::Finish(const TOutcome& outcome) {
  noErrors_ = outcome.Code == 0 && outcome.Text.empty();
  if (!noErrors_) Put(TTorvelProperty::ResultCodeDescription, outcome.Text);
  return outcome.Code;
}

int TEmulatedTorvel::KnownIndex(int id) {
  return id >= 0 && id < kKnownLimit ? kKnownIndex[static_cast<std::size_t>(id)] : -1;
}

const TPropertyValue* TEmulatedTorvel::Find(int id) const {
  if (const int i = KnownIndex(id); i >= 0) {
    const auto& value = known_[static_cast<std::size_t>(i)];
    return value ? &*value : nullptr;
  }
  const auto it = others_.find(id);
  return it == others_.end() ? nullptr : &it->second;
}

TPropertyValue& TEmulatedTorvel::Property(int id) {
  if (const int i = KnownIndex(id); i >= 0) {
    auto& value = known_[static_cast<std::size_t>(i)];
    if (!value) value.emplace();
    return *value;
  }
  return others_[id];
}

int64_t TEmulatedTorvel::InputInt(int id) const {
  const TPropertyValue* value = Find(id);
  return value == nullptr ? 0 : PropertyToInt(id, *value);
}

int64_t TEmulatedTorvel::CurrentDocument() const {
  // Only to match faults: a DocumentNumber of another kind matches none.
  const TPropertyValue* value = Find(TTorvelProperty::DocumentNumber);
  if (value == nullptr) return 0;
  if (const auto* n = std::get_if<int64_t>(value)) return *n;
  try {
    return PropertyToInt(TTorvelProperty::DocumentNumber, *value);
  } catch (const Error&) {
    return std::numeric_limits<int64_t>::min();
  }
}

// The frame of every device operation: reach the device, apply a fault of
// the image, run the operation and publish its result; BeginDocumentRead's
// delay is slept after the device's lock is released.
template <class Body>
int TEmulatedTorvel::Run(std::string_view operation, Body body) {
  int delayMs = 0;
  const int code = Finish(Attempt(operation, body, delayMs));
  if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  return code;
}

// Each way out returns its outcome whole, which is then not moved about: this
// runs for every block of every document.
template <class Body>
TEmulatedTorvel::TOutcome TEmulatedTorvel::Attempt(std::string_view operation, Body& body,
                                                   int& delayMs) {
  if (held_ == nullptr) {
    TOutcome reached = Reach();
    if (reached.Code != TTorvelResult::Ok) return reached;
  }
  if (held_->HasFaults()) {
    if (const TFaultImage* fault = held_->FindFault(operation, CurrentDocument())) {
      return {fault->Code, fault->Description};
    }
  }
  return body(*held_, delayMs);
}

int TEmulatedTorvel::OpenDevice() {
  return Run("OpenDevice", [](const TStorageImage&, int&) { return TOutcome{}; });
}

int TEmulatedTorvel::AuxiliaryRequest1() {
  return Run("AuxiliaryRequest1", [](const TStorageImage&, int&) { return TOutcome{}; });
}

int TEmulatedTorvel::AuxiliaryRequest2() {
  return Run("AuxiliaryRequest2", [](const TStorageImage&, int&) { return TOutcome{}; });
}

int TEmulatedTorvel::ReleaseDevice() {
  // Frees only what this instance holds; never takes the device, and a
  // storage image that cannot be loaded does not stop the release.
  if (const TStorageImage* image = Peek()) {
    if (const TFaultImage* fault = image->FindFault("ReleaseDevice", CurrentDocument())) {
      return Finish({fault->Code, fault->Description});
    }
  }
  if (held_ != nullptr) {
    std::lock_guard lock(slot_->Mutex);
    slot_->Holder = nullptr;
    held_ = nullptr;
  }
  open_ = false;
  return Finish({});
}

int TEmulatedTorvel::ShowSettingsDialog() {
  // Needs no device: it must open even when the settings name a broken file.
  if (const TStorageImage* image = Peek()) {
    if (const TFaultImage* fault = image->FindFault("ShowSettingsDialog", CurrentDocument())) {
      return Finish({fault->Code, fault->Description});
    }
  }
  const TSettingsDialogHook hook = GetSettingsDialogHook();
  TOutcome outcome{TTorvelResult::NotSupported, U16(Tr("Диалог настроек драйвера недоступен"))};
  if (hook) {
    // Called without any lock held: the dialog runs a message loop of its own.
    const int code = hook();
    outcome = {code, code == 0 ? NoErrors() : U16(Tr("Настройки драйвера не изменены"))};
  }
  return Finish(outcome);
}

int TEmulatedTorvel::QueryStorageStatus() {
  return Run("QueryStorageStatus", [this](const TStorageImage& image, int&) {
    const auto& status = image.Status();
    Put(TTorvelProperty::FNStatus2100, status[0]);
    Put(TTorvelProperty::FNCurrentDocument, status[1]);
    Put(TTorvelProperty::FNStatus2102, status[2]);
    Put(TTorvelProperty::FNStatus2103, status[3]);
    Put(TTorvelProperty::FNStatus2104, status[4]);
    Put(TTorvelProperty::ECRDate, image.Date());
    Put(TTorvelProperty::ECRTime, image.Time());
    Put(TTorvelProperty::SerialNumber, image.SerialNumber());
    Put(TTorvelProperty::DocumentNumber, int64_t{image.LastDocumentNumber()});
    return TOutcome{};
  });
}

int TEmulatedTorvel::QueryRegisterStatus() {
  return Run("QueryRegisterStatus", [this](const TStorageImage& image, int&) {
    Put(TTorvelProperty::SessionNumber, image.ShiftCount());
    return TOutcome{};
  });
}

int TEmulatedTorvel::QueryModelParameter() {
  return Run("QueryModelParameter", [this](const TStorageImage& image, int&) {
    const int64_t number = InputInt(TTorvelProperty::ModelParamNumber);
    const std::optional<TPropertyValue> value = image.ModelParameter(number);
    if (!value) {
      return TOutcome{TTorvelResult::NotSupported,
                      U16(Fmt(Tr("Параметр модели %s не поддерживается"), number))};
    }
    Put(TTorvelProperty::ModelParamValue, *value);
    return TOutcome{};
  });
}

int TEmulatedTorvel::ReadTableField() {
  return Run("ReadTableField", [this](const TStorageImage& image, int&) {
    const int64_t table = InputInt(TTorvelProperty::TableNumber);
    const int64_t row = InputInt(TTorvelProperty::RowNumber);
    const int64_t field = InputInt(TTorvelProperty::FieldNumber);
    const std::optional<std::u16string> value = image.TableField(table, row, field);
    if (!value) {
      return TOutcome{TTorvelResult::NotSupported,
                      U16(Fmt(Tr("Поле таблицы %s,%s,%s не найдено"), table, row, field))};
    }
    Put(TTorvelProperty::ValueOfFieldString, *value);
    return TOutcome{};
  });
}

int TEmulatedTorvel::BeginDocumentRead() {
  return Run("BeginDocumentRead", [this](const TStorageImage& image, int& delayMs) {
    open_ = false;
    // The last block outlives the body it came from.
    if (tlvAsBytes_ && tlvBlock_.data() != tlvSaved_.data()) {
      tlvSaved_.assign(tlvBlock_);
      tlvBlock_ = tlvSaved_;
    }
    const int64_t number = InputInt(TTorvelProperty::DocumentNumber);
    const std::optional<TStorageImage::TDocumentHead> head = image.ReadDocument(number, body_);
    if (!head) {
      return TOutcome{TTorvelResult::NotFound, U16(Fmt(Tr("Документ %s не найден"), number))};
    }
    Put(TTorvelProperty::DocumentType, int64_t{head->Type});
    Put(TTorvelProperty::DataLength, int64_t{head->DataLength});
    open_ = true;
    offset_ = 0;
    delayMs = options_.DelayMs.value_or(image.DelayMs());
    return TOutcome{};
  });
}

int TEmulatedTorvel::ReadDocumentBlock() {
  return Run("ReadDocumentBlock", [this](const TStorageImage& image, int&) {
    if (!open_) return TOutcome{TTorvelResult::NoDocumentOpen, U16(Tr("Нет открытого документа"))};
    const std::size_t size =
        std::min(body_.size() - offset_, static_cast<std::size_t>(image.BlockSize()));
    tlvBlock_ = std::string_view(body_).substr(offset_, size);
    tlvAsBytes_ = true;
    offset_ += size;
    // The empty block that tells the end closes the document.
    if (size == 0) open_ = false;
    return TOutcome{};
  });
}

int TEmulatedTorvel::QueryConfirmation() {
  return Run("QueryConfirmation", [this](const TStorageImage& image, int&) {
    const int64_t number = InputInt(TTorvelProperty::DocumentNumber);
    if (!image.ReadTicket(number, ticket_)) {
      if (!image.HasDocument(number)) {
        return TOutcome{TTorvelResult::NotFound, U16(Fmt(Tr("Документ %s не найден"), number))};
      }
      return TOutcome{TTorvelResult::NoConfirmation,
                      U16(Fmt(Tr("Нет подтверждения оператора для документа %s"), number))};
    }
    // Assigned over the texts already there, which keeps their buffers.
    Property(TTorvelProperty::DocumentData) = ticket_.Data;
    Put(TTorvelProperty::ECRDate, ticket_.Date);
    Put(TTorvelProperty::ECRTime, ticket_.Time);
    Property(TTorvelProperty::FiscalSignOFD) = ticket_.FiscalSign;
    Put(TTorvelProperty::DocumentNumber, int64_t{ticket_.DocumentNumber});
    return TOutcome{};
  });
}

TPropertyValue TEmulatedTorvel::GetProperty(int id) {
  if (id == TTorvelProperty::TLVData && tlvAsBytes_) return BytesToTLVData(tlvBlock_);
  if (id == TTorvelProperty::ResultCodeDescription && noErrors_) return NoErrors();
  if (const TPropertyValue* value = Find(id)) return *value;
  return TTorvelProperty::Unset(id);
}

void TEmulatedTorvel::SetProperty(int id, const TPropertyValue& value) {
  if (id == TTorvelProperty::TLVData) tlvAsBytes_ = false;
  if (id == TTorvelProperty::ResultCodeDescription) noErrors_ = false;
  Property(id) = value;
}

std::string TEmulatedTorvel::StorageIdentity() {
  if (options_.ImagePath.empty()) return "demo";
  // FNV-1a over the file: data files that share a serial number differ here.
  std::ifstream in(options_.ImagePath, std::ios::binary);
  if (!in) throw Error(Fmt(Tr("Файл данных %s не прочитан"), options_.ImagePath));
  uint64_t hash = 0xcbf29ce484222325ULL;
  std::array<char, 65536> chunk{};
  while (in.read(chunk.data(), chunk.size()) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      hash = (hash ^ static_cast<unsigned char>(chunk[static_cast<std::size_t>(i)])) *
             0x100000001b3ULL;
    }
  }
  constexpr std::string_view kHex = "0123456789abcdef";
  std::string text;
  for (int shift = 60; shift >= 0; shift -= 4) text += kHex[(hash >> shift) & 0xFU];
  return text;
}

std::optional<std::size_t> TEmulatedTorvel::AppendTLVDataBytes(std::string& bytes) {
  if (!tlvAsBytes_) return std::nullopt;
  bytes.append(tlvBlock_);
  return tlvBlock_.size();
}

}  // namespace kvitor
