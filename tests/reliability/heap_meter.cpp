#include "heap_meter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> liveBytes{0};
std::atomic<std::size_t> peakBytes{0};

// Each block carries its size in front, kept at the strictest fundamental alignment.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* allocate(std::size_t size) noexcept {
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (!block)
        return nullptr;
    *reinterpret_cast<std::size_t*>(block) = size;
    std::size_t now = liveBytes.fetch_add(size) + size;
    std::size_t peak = peakBytes.load();
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
    }
    return block + kHeader;
}

void release(void* pointer) noexcept {
    if (!pointer)
        return;
    auto* block = static_cast<unsigned char*>(pointer) - kHeader;
    liveBytes.fetch_sub(*reinterpret_cast<std::size_t*>(block));
    std::free(block);
}

} // namespace

void* operator new(std::size_t size) {
    if (void* p = allocate(size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    release(p);
}

namespace qm::test {

std::size_t HeapMeter::live() {
    return liveBytes.load();
}
std::size_t HeapMeter::peak() {
    return peakBytes.load();
}
void HeapMeter::resetPeak() {
    peakBytes.store(liveBytes.load());
}

} // namespace qm::test
