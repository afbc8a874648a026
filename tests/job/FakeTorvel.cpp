// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "FakeTorvel.h"

#include <chrono>
#include <string_view>

#include "JobTestUtil.h"
#include "base/Error.h"

namespace kvitor::test {
namespace {

constexpr auto kGenerousBound = std::chrono::seconds(60);

int64_t AsInt(const TPropertyValue& value) {
  if (const auto* i = std::get_if<int64_t>(&value)) return *i;
  if (const auto* d = std::get_if<double>(&value)) return static_cast<int64_t>(*d);
  return 0;
}

// Driver properties and the operations of the fiscal registrar driver as the
// script says; every call goes to the storage's record first.
class TFakeTorvel final : public TTorvel {
 public:
  TFakeTorvel(std::shared_ptr<TFakeStorage> storage, int instance)
      : storage_(std::move(storage)), instance_(instance) {}
  ~TFakeTorvel() override { static_cast<void>(Enter("Destroy")); }

  int OpenDevice() override {
    if (const int code = Enter("OpenDevice")) return code;
    opened_ = true;
    return 0;
  }
  int AuxiliaryRequest1() override { return Enter("AuxiliaryRequest1"); }
  int AuxiliaryRequest2() override { return Enter("AuxiliaryRequest2"); }
  int ReleaseDevice() override { return Enter("ReleaseDevice"); }
  int ShowSettingsDialog() override {
    if (const int code = Enter("ShowSettingsDialog")) return code;
    return storage_->SettingsDialogResult;
  }

  int QueryStorageStatus() override {
    if (const int code = Enter("QueryStorageStatus")) return code;
    for (int i = 0; i < 5; ++i)
      props_[TTorvelProperty::FNStatus2100 + i] = storage_->Status[static_cast<std::size_t>(i)];
    props_[TTorvelProperty::ECRDate] = storage_->Date;
    props_[TTorvelProperty::ECRTime] = storage_->Time;
    props_[TTorvelProperty::SerialNumber] = storage_->SerialNumber;
    props_[TTorvelProperty::DocumentNumber] = storage_->LastDocumentNumber;
    return 0;
  }
  int QueryRegisterStatus() override {
    if (const int code = Enter("QueryRegisterStatus")) return code;
    props_[TTorvelProperty::SessionNumber] = storage_->SessionNumber;
    return 0;
  }
  int QueryModelParameter() override {
    if (const int code = Enter("QueryModelParameter")) return code;
    if (Int(TTorvelProperty::ModelParamNumber) != 72 || !storage_->RegisterTable) {
      return Fail(9, u"Нет такого параметра");
    }
    props_[TTorvelProperty::ModelParamValue] = *storage_->RegisterTable;
    return 0;
  }
  int ReadTableField() override {
    if (const int code = Enter("ReadTableField")) return code;
    const int64_t table = storage_->RegisterTable.value_or(18);
    if (Int(TTorvelProperty::TableNumber) != table || Int(TTorvelProperty::RowNumber) != 1 ||
        Int(TTorvelProperty::FieldNumber) != 3) {
      return Fail(8, u"Нет такого поля");
    }
    props_[TTorvelProperty::ValueOfFieldString] = storage_->RegNumber;
    return 0;
  }
  int BeginDocumentRead() override {
    if (const int code = Enter("BeginDocumentRead")) return code;
    const auto found =
        storage_->Documents.find(static_cast<int32_t>(Int(TTorvelProperty::DocumentNumber)));
    if (found == storage_->Documents.end()) return Fail(3, u"Документ не найден");
    document_ = &found->second;
    position_ = 0;
    props_[TTorvelProperty::DocumentType] = int64_t{document_->Type};
    props_[TTorvelProperty::DataLength] = static_cast<int64_t>(document_->Body.size());
    return 0;
  }
  int ReadDocumentBlock() override {
    if (const int code = Enter("ReadDocumentBlock")) return code;
    if (document_ == nullptr) return Fail(4, u"Документ не открыт");
    const std::string_view block =
        std::string_view(document_->Body).substr(position_, storage_->BlockSize);
    position_ += block.size();
    std::u16string data;
    for (const char c : block) data += static_cast<char16_t>(static_cast<unsigned char>(c));
    props_[TTorvelProperty::TLVData] = data;
    return 0;
  }
  int QueryConfirmation() override {
    if (const int code = Enter("QueryConfirmation")) return code;
    const auto found =
        storage_->Documents.find(static_cast<int32_t>(Int(TTorvelProperty::DocumentNumber)));
    if (found == storage_->Documents.end() || !found->second.Ticket)
      return Fail(5, u"Нет подтверждения");
    const TTicketImage& t = *found->second.Ticket;
    props_[TTorvelProperty::DocumentData] = t.Data;
    props_[TTorvelProperty::ECRDate] = t.Date;
    props_[TTorvelProperty::ECRTime] = t.Time;
    props_[TTorvelProperty::FiscalSignOFD] = t.FiscalSign;
    props_[TTorvelProperty::DocumentNumber] = int64_t{t.DocumentNumber};
    return 0;
  }

  TPropertyValue GetProperty(int id) override {
    const auto found = props_.find(id);
    return found == props_.end() ? TPropertyValue(int64_t{0}) : found->second;
  }
  void SetProperty(int id, const TPropertyValue& value) override { props_[id] = value; }

 private:
  // Records the call, runs the test's hook, and gives the scripted fault's
  // code (0 for none).
  int Enter(const char* operation) {
    TFakeCall call;
    call.Instance = instance_;
    call.Operation = operation;
    call.DocumentNumber = Int(TTorvelProperty::DocumentNumber);
    call.Thread = std::this_thread::get_id();
    call.ScopeActive = TDriverThreadScope::IsActive();
    call.Opened = opened_;
    storage_->Record(call);
    if (storage_->OnCall) {
      if (const int code = storage_->OnCall(call)) return Fail(code, kHookFaultText);
    }
    for (const auto& fault : storage_->Faults) {
      if (fault.Operation == operation &&
          (fault.Document == 0 || fault.Document == call.DocumentNumber)) {
        return Fail(fault.Code, fault.Description);
      }
    }
    return 0;
  }
  int Fail(int code, const std::u16string& description) {
    props_[TTorvelProperty::ResultCodeDescription] = description;
    return code;
  }
  [[nodiscard]] int64_t Int(int id) const {
    const auto found = props_.find(id);
    return found == props_.end() ? 0 : AsInt(found->second);
  }

  std::shared_ptr<TFakeStorage> storage_;
  const int instance_;
  std::map<int, TPropertyValue> props_;
  const TFakeDocument* document_ = nullptr;
  std::size_t position_ = 0;
  bool opened_ = false;
};

}  // namespace

void TGate::Arrive() {
  std::unique_lock lock(mutex_);
  arrived_ = true;
  changed_.notify_all();
  // Bounded, so that a broken controller fails the test instead of hanging it.
  changed_.wait_for(lock, kGenerousBound, [this] { return open_; });
}

bool TGate::WaitArrived() {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, kGenerousBound, [this] { return arrived_; });
}

void TGate::Open() {
  const std::lock_guard lock(mutex_);
  open_ = true;
  changed_.notify_all();
}

void TFakeStorage::AddReceipts(int32_t first, int32_t last) {
  for (int32_t n = first; n <= last; ++n) {
    TFakeDocument doc;
    doc.Type = 3;
    // Tag 1040 (the document's number), four bytes.
    doc.Body = Tlv(1040, Le32(static_cast<uint32_t>(n)));
    doc.Ticket = TTicketImage{u"OK" + std::u16string(1, static_cast<char16_t>(u'0' + n % 10)),
                              46000.0, 0.5, u"SIGN", n};
    Documents[n] = doc;
  }
}

TMainController::TDriverFactory TFakeStorage::Factory() {
  return [self = shared_from_this()] { return self->Create(); };
}

std::unique_ptr<TTorvel> TFakeStorage::Create() {
  int instance = 0;
  {
    const std::lock_guard lock(mutex_);
    instance = static_cast<int>(creations_.size());
    creations_.push_back({std::this_thread::get_id(), TDriverThreadScope::IsActive()});
  }
  if (instance >= FailCreationFrom) throw Error("Драйвер не создан");
  return std::make_unique<TFakeTorvel>(shared_from_this(), instance);
}

void TFakeStorage::Record(const TFakeCall& call) {
  const std::lock_guard lock(mutex_);
  calls_.push_back(call);
}

std::vector<TFakeCall> TFakeStorage::Calls() const {
  const std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<TFakeCreation> TFakeStorage::Creations() const {
  const std::lock_guard lock(mutex_);
  return creations_;
}

std::vector<int64_t> TFakeStorage::NumbersOf(const std::string& operation, int instance) const {
  std::vector<int64_t> numbers;
  for (const auto& call : Calls()) {
    if (call.Operation == operation && (instance < 0 || call.Instance == instance)) {
      numbers.push_back(call.DocumentNumber);
    }
  }
  return numbers;
}

int TFakeStorage::IndexOf(const std::string& operation, int instance) const {
  const auto calls = Calls();
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].Operation == operation && calls[i].Instance == instance)
      return static_cast<int>(i);
  }
  return -1;
}

int TFakeStorage::LastIndexOf(int instance) const {
  const auto calls = Calls();
  int last = -1;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].Instance == instance) last = static_cast<int>(i);
  }
  return last;
}

}  // namespace kvitor::test
