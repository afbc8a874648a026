// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace kvitor::test {

// Answers the next modal window of type T that opens while this object lives:
// polls for it (from inside the modal loop) and hands it to act once.
template <class T>
class TModalAnswer {
 public:
  explicit TModalAnswer(std::function<void(T&)> act) : act_(std::move(act)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      T* window = qobject_cast<T*>(QApplication::activeModalWidget());
      if (done_ || window == nullptr || !window->isVisible()) return;
      done_ = true;
      timer_.stop();
      const QPointer<T> guard(window);
      act_(*window);
      // A failed check inside act must not leave the test waiting on it.
      if (auto* dialog = qobject_cast<QDialog*>(guard.data()); dialog && dialog->isVisible()) {
        dialog->reject();
      }
    });
    timer_.start(20);
  }

  [[nodiscard]] bool Done() const { return done_; }

 private:
  std::function<void(T&)> act_;
  QTimer timer_;
  bool done_ = false;
};

template <class T>
T* Child(const QObject& parent, const char* name) {
  return parent.findChild<T*>(QString::fromLatin1(name));
}

}  // namespace kvitor::test
