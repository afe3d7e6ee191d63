/* Membership filters of 32-bit hashes on the 64-bit bitmaps, and the DNS
 * answer tracking built on them. Hash collisions make the filter answer
 * "present" for a few pairs never recorded; for the unresolved-name check
 * that errs on the side of raising nothing. */
#include "oxlo_hash_filter.h"

#include <cstring>

#include "oxlo_bitmap64.h"
#include "oxlo_hash.h"
#include "oxlo_memory.h"

struct oxlo_hash_filter {
    oxlo_bitmap64 *bits;
    uint64_t count; /* values held, kept here so rotation needs no bitmap walk */
};

namespace {

constexpr size_t key_buffer_size = 128;

} // namespace

extern "C" {

oxlo_hash_filter *oxlo_hash_filter_new(void)
{
    auto *f = static_cast<oxlo_hash_filter *>(oxlo_heap_calloc(1, sizeof(oxlo_hash_filter)));
    if (!f)
        return nullptr;
    f->bits = oxlo_bitmap64_new();
    if (!f->bits) {
        oxlo_heap_free(f);
        return nullptr;
    }
    return f;
}

int oxlo_hash_filter_add(oxlo_hash_filter *filter, uint32_t value)
{
    if (!filter)
        return 0;
    if (oxlo_bitmap64_contains(filter->bits, value))
        return 1;
    oxlo_bitmap64_add(filter->bits, value);
    if (!oxlo_bitmap64_contains(filter->bits, value))
        return 0;
    filter->count++;
    return 1;
}

int oxlo_hash_filter_add_string(oxlo_hash_filter *filter, const char *text)
{
    if (!filter || !text)
        return 0;
    return oxlo_hash_filter_add(filter, one_at_a_time_hash_string(text));
}

int oxlo_hash_filter_contains(const oxlo_hash_filter *filter, uint32_t value)
{
    return filter ? oxlo_bitmap64_contains(filter->bits, value) : 0;
}

int oxlo_hash_filter_contains_string(const oxlo_hash_filter *filter, const char *text)
{
    if (!filter || !text)
        return 0;
    return oxlo_hash_filter_contains(filter, one_at_a_time_hash_string(text));
}

uint64_t oxlo_hash_filter_count(const oxlo_hash_filter *filter)
{
    return filter ? filter->count : 0;
}

size_t oxlo_hash_filter_serialized_size(const oxlo_hash_filter *filter)
{
    if (!filter)
        return 0;
    char *buffer = nullptr;
    const size_t size = oxlo_bitmap64_serialize(filter->bits, &buffer);
    oxlo_heap_free(buffer);
    return size;
}

void oxlo_hash_filter_free(oxlo_hash_filter *filter)
{
    if (!filter)
        return;
    oxlo_bitmap64_free(filter->bits);
    oxlo_heap_free(filter);
}

/* The name (at most 127 characters) is followed by the address bytes that
 * fit in 128. A name with ':' (an IPv6 literal, or a port left on it) keys
 * on the address alone; a name of 128 characters or more keys on the name's
 * first 127 characters alone. */
uint32_t oxlo_dns_resolution_key(const uint8_t address[16], const char *host_name)
{
    uint8_t buffer[key_buffer_size] = {0};
    const char *name = host_name ? host_name : "";
    const size_t length = strnlen(name, key_buffer_size);
    if (strchr(name, ':'))
        return djb2_hash(address, 16);
    if (length >= key_buffer_size) {
        memcpy(buffer, name, key_buffer_size - 1);
        return djb2_hash(buffer, key_buffer_size);
    }
    memcpy(buffer, name, length);
    const size_t room = key_buffer_size - length;
    const size_t n = room < 16 ? room : 16;
    memcpy(buffer + length, address, n);
    return djb2_hash(buffer, uint32_t(length + n));
}

} // extern "C"
