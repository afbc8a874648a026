// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <malloc.h>

#include <clocale>
#include <iostream>

#include "cli/Cli.h"
#include "job/Catalogues.h"
#include "job/FileUtils.h"
#include "tlv/LangUtils.h"

int main(int argc, char** argv) {
  // A report holds millions of small tags made on the job's thread: one arena
  // that grows in large steps spares a system call every few pages.
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_TOP_PAD, 64 << 20);
  std::setlocale(LC_ALL, "");
  kvitor::InitMessageCatalogues(kvitor::CatalogueParentFolder(kvitor::GetProgramFolder()));
  return kvitor::RunCli(argc, argv, std::cout, std::cerr);
}
