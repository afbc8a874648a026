// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// Prints the number of documents and the total size of their TLV bodies in a
// storage data file: the input side of the whole-process benchmark.
#include <cstdio>
#include <exception>

#include "drivers/emulated/StorageImage.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s IMAGE.json\n", argv[0]);
    return 2;
  }
  try {
    const auto image = kvitor::TStorageImage::LoadFile(argv[1]);
    unsigned long long bytes = 0, documents = 0;
    for (const int32_t number : image->DocumentNumbers()) {
      bytes += image->FindDocument(number)->Body.size();
      ++documents;
    }
    std::printf("%llu %llu\n", documents, bytes);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
