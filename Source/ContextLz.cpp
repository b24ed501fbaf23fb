// Codec state: parameters, the one table block carved into per-context slices, the slot tables
// and the lifetime of the two adaptive models.
#include "ContextLz.h"

#include <cstdlib>
#include <cstring>
#include <iterator>

namespace qzn {

namespace {

// Slots are numbered in histogram order; each slot's base follows the previous slot's range.
// Returns the number of slots built.
int buildSlots(const int32_t* histogram, int histogramSize, int32_t* base, int32_t* extraBits,
               int maxSlots) {
    int slot = 0;
    int32_t next = 0;
    for (int n = 0; n < histogramSize; ++n) {
        for (int i = 0; i < histogram[n]; ++i) {
            if (slot < maxSlots) {
                base[slot] = next;
                extraBits[slot] = n;
            }
            next += int32_t(1) << n;
            ++slot;
        }
    }
    return slot;
}

// Entry v: the highest slot whose base is at most v.
void fillSlotLookup(uint8_t* lookup, int size, const int32_t* base, int slots) {
    int slot = 0;
    for (int v = 0; v < size; ++v) {
        while (slot + 1 < slots && base[slot + 1] <= v) ++slot;
        lookup[v] = uint8_t(slot);
    }
}

// The block must start zero-filled; fresh pages come zeroed for free.
LargeBuffer allocateBlock(uint64_t bytes) {
    LargeBuffer memory{size_t(bytes)};
    if (!memory) fatalWide(L"Error: Not enough memory for %d KB\n", int(bytes >> 10));
    return memory;
}

} // namespace

void ContextLz::configure(uint32_t tableBitsValue, uint32_t hashBitsValue,
                          uint32_t windowBitsValue) {
    symbolModel.reset();
    distanceModel.reset();
    // A second configure must not leak the block of the first.
    if (block != nullptr) release();
    block = nullptr;
    tableBits = tableBitsValue;
    hashBits = hashBitsValue;
    windowBits = windowBitsValue;
    tableSize = int32_t(1) << tableBits;
    tableMask = tableSize - 1;
    hashSize = int32_t(1) << hashBits;
    hashMask = hashSize - 1;
    capacity = int32_t(1) << windowBits;
    positionMask = capacity - 1;
    for (int c = 0; c < 256; ++c) {
        tables[c] = ContextTable{};
        rings[c] = PositionRing{};
    }
}

uint64_t ContextLz::allocateEncoder() {
    if (block != nullptr) release();
    const uint64_t size = 1536ull * uint64_t(tableSize) + 512ull * uint64_t(hashSize);
    blockMemory = allocateBlock(size);
    block = blockMemory.get();
    uint8_t* p = block;
    for (int c = 0; c < 256; ++c) {
        ContextTable& table = tables[c];
        table.entries = reinterpret_cast<int32_t*>(p);
        p += 4 * size_t(tableSize);
        table.buckets = reinterpret_cast<uint16_t*>(p);
        p += 2 * size_t(hashSize);
        table.links = reinterpret_cast<uint16_t*>(p);
        p += 2 * size_t(tableSize);
        table.head = 0;
    }
    QZN_CHECK(p == block + size, kContextLzSource, 46);
    resetModels();
    return size + sizeof(ContextLz);
}

uint64_t ContextLz::allocateDecoder() {
    if (block != nullptr) release();
    const uint64_t size = 1024ull * uint64_t(tableSize);
    blockMemory = allocateBlock(size);
    block = blockMemory.get();
    uint8_t* p = block;
    for (int c = 0; c < 256; ++c) {
        rings[c].entries = reinterpret_cast<int32_t*>(p);
        p += 4 * size_t(tableSize);
        rings[c].head = 0;
    }
    QZN_CHECK(p == block + size, kContextLzSource, 66);
    resetModels();
    return size + sizeof(ContextLz);
}

void ContextLz::resetModels() {
    const int lengthSlots = buildSlots(kLengthHistogram, int(std::size(kLengthHistogram)),
                                       lengthBase, lengthExtraBits, kLengthSlots);
    QZN_CHECK(lengthSlots == kLengthSlots, kContextLzSource, 127);
    fillSlotLookup(lengthSlotOf, kLengthLookup, lengthBase, kLengthSlots);

    const int distanceSlots = buildSlots(kDistanceHistogram, int(std::size(kDistanceHistogram)),
                                         distanceBase, distanceExtraBits, kDistanceSlots);
    QZN_CHECK(distanceSlots == kDistanceSlots, kContextLzSource, 112);
    fillSlotLookup(distanceSlotOf, kDistanceLookup, distanceBase, kDistanceSlots);

    distanceModel.reset();
    symbolModel.reset();
}

void ContextLz::release() {
    blockMemory.reset();
    block = nullptr;
    for (int c = 0; c < 256; ++c) {
        tables[c] = ContextTable{};
        rings[c] = PositionRing{};
    }
}

} // namespace qzn
