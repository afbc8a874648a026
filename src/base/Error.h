// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <stdexcept>
#include <string>

namespace kvitor {

// The one error type of the program: its message is what the user is shown.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace kvitor
