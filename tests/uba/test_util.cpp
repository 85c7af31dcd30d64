#include "test_util.h"

#include "uba.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

TempDir::TempDir() {
  char tmpl[] = "/tmp/uba_test.XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string TempDir::write(const std::string &relative, const std::string &content) const {
  fs::path p = fs::path(path_) / relative;
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
  return p;
}

std::string TempDir::mkdir(const std::string &relative) const {
  fs::path p = fs::path(path_) / relative;
  fs::create_directories(p);
  return p;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string re_escape(std::string_view text) {
  std::string re;
  for (char c : text) {
    if (std::string_view(".[]{}()\\*+?^$|").find(c) != std::string_view::npos) re += '\\';
    re += c;
  }
  return re;
}

std::string library_error(std::string_view unit, std::string_view msg) {
  std::string file(unit);
  if (file.find('.') == std::string::npos) file += ".cpp";
  return "ERROR:" + re_escape(file) + ":[0-9]+:" + re_escape(msg) + "\n";
}

std::vector<std::string> scan_with(int method) {
  uba_pci_method(method);
  pci_scan_bus(pci_alloc());
  std::vector<std::string> names;
  for (pci_dev *d = pci_alloc()->devices; d; d = d->next) names.push_back(d->name);
  return names;
}

pci_dev *listed(std::string_view name) {
  for (pci_dev *d = pci_alloc()->devices; d; d = d->next)
    if (name == d->name) return d;
  return nullptr;
}

unsigned read_cfg(pci_dev *dev, unsigned reg, int width) {
  return width == 1 ? pci_read_byte(dev, reg) : width == 2 ? pci_read_word(dev, reg) : pci_read_long(dev, reg);
}

void write_cfg(pci_dev *dev, unsigned reg, int width, unsigned value) {
  if (width == 1)
    pci_write_byte(dev, reg, value);
  else if (width == 2)
    pci_write_word(dev, reg, value);
  else
    pci_write_long(dev, reg, value);
}
