// Sparse controller memory: a directory of tables of 4 KiB pages, so that
// tables uploaded at addresses far apart (0x01000000, 0x10000000) cost only
// the pages they touch.
#include <cstring>
#include <new>

#include "sim/sim.h"

namespace lf::sim {

struct ControllerMemory::Page {
  uint8_t bytes[kPageSize];
};

struct ControllerMemory::Table {
  Page* pages[1u << kTableBits];
};

namespace {

constexpr uint32_t kTableShift = ControllerMemory::kPageBits + ControllerMemory::kTableBits;
constexpr uint32_t kPageIndexMask = (1u << ControllerMemory::kTableBits) - 1;
constexpr uint32_t kOffsetMask = ControllerMemory::kPageSize - 1;

uint32_t TableIndex(uint32_t address) { return address >> kTableShift; }
uint32_t PageIndex(uint32_t address) {
  return (address >> ControllerMemory::kPageBits) & kPageIndexMask;
}

}  // namespace

ControllerMemory::~ControllerMemory() { Clear(); }

void ControllerMemory::Clear() {
  for (Table*& table : tables_) {
    if (table == nullptr) continue;
    for (Page* page : table->pages) delete page;
    delete table;
    table = nullptr;
  }
  pageCount_ = 0;
}

ControllerMemory::Page* ControllerMemory::FindPage(uint32_t address) const {
  const Table* table = tables_[TableIndex(address)];
  return table == nullptr ? nullptr : table->pages[PageIndex(address)];
}

ControllerMemory::Page* ControllerMemory::MakePage(uint32_t address) {
  Table*& table = tables_[TableIndex(address)];
  if (table == nullptr) {
    table = new (std::nothrow) Table{};
    if (table == nullptr) return nullptr;
  }
  Page*& page = table->pages[PageIndex(address)];
  if (page == nullptr) {
    page = new (std::nothrow) Page{};
    if (page == nullptr) return nullptr;
    ++pageCount_;
  }
  return page;
}

bool ControllerMemory::Write(uint32_t address, const uint8_t* data, uint32_t size) {
  uint64_t position = address;
  while (size > 0) {
    uint32_t at = static_cast<uint32_t>(position);
    uint32_t offset = at & kOffsetMask;
    uint32_t chunk = kPageSize - offset < size ? kPageSize - offset : size;
    Page* page = MakePage(at);
    if (page == nullptr) return false;
    std::memcpy(page->bytes + offset, data, chunk);
    data += chunk;
    size -= chunk;
    position += chunk;
  }
  return true;
}

void ControllerMemory::Read(uint32_t address, uint8_t* dest, uint32_t size) const {
  uint64_t position = address;
  while (size > 0) {
    uint32_t at = static_cast<uint32_t>(position);
    uint32_t offset = at & kOffsetMask;
    uint32_t chunk = kPageSize - offset < size ? kPageSize - offset : size;
    const Page* page = FindPage(at);
    if (page == nullptr) {
      std::memset(dest, 0, chunk);
    } else {
      std::memcpy(dest, page->bytes + offset, chunk);
    }
    dest += chunk;
    size -= chunk;
    position += chunk;
  }
}

}  // namespace lf::sim
