#include <clocale>
#include <iostream>

#include "Cli.h"
#include "FileUtils.h"
#include "LangUtils.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  kvitor::InitMessageCatalogues(kvitor::GetProgramFolder());
  return kvitor::RunCli(argc, argv, std::cout, std::cerr);
}
