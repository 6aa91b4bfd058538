#include "platform/PCMBuffer.h"

#include <new>

namespace platform {

/// Sample memory, channel pointer tables and buffer-list storage, all sized at creation.
struct PCMBuffer::Storage {
    std::unique_ptr<std::byte[]> samples;   // capacity x channels samples
    std::unique_ptr<float*[]> floats;       // one pointer per channel, for a float format
    std::unique_ptr<std::int16_t*[]> ints;  // one pointer per channel, for a 16-bit format
    std::unique_ptr<std::byte[]> list;      // AudioBufferList with one buffer per plane
    std::uint32_t planes = 1;               // buffers in the list
    std::size_t planeBytes = 0;             // distance between planes' first bytes

    void* plane(std::uint32_t p) const noexcept { return samples.get() + p * planeBytes; }
};

namespace {

/// Bytes an AudioBufferList with `buffers` buffers occupies.
std::size_t listBytes(std::uint32_t buffers) noexcept {
    return offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer) * buffers;
}

/// Points entry c of `table` at channel c's first sample.
template <class T>
std::unique_ptr<T* []> channelTable(std::byte* base, const AudioFormat& format,
                                    std::uint32_t capacity) {
    const std::size_t channels = format.channelCount();
    std::unique_ptr<T*[]> table(new T*[channels]);
    T* first = reinterpret_cast<T*>(base);
    for (std::size_t c = 0; c < channels; ++c) {
        table[c] = first + (format.isInterleaved() ? c : c * capacity);
    }
    return table;
}

}  // namespace

std::shared_ptr<PCMBuffer> PCMBuffer::make(const AudioFormat& format,
                                           std::uint32_t frameCapacity) noexcept {
    if (frameCapacity == 0) {
        return nullptr;
    }
    try {
        auto storage = std::make_unique<Storage>();
        const std::size_t sampleBytes = static_cast<std::size_t>(frameCapacity) *
                                        format.channelCount() * format.bytesPerSample();
        storage->samples.reset(new std::byte[sampleBytes]());
        if (format.commonFormat() == CommonFormat::pcmFormatFloat32) {
            storage->floats = channelTable<float>(storage->samples.get(), format, frameCapacity);
        } else {
            storage->ints =
                channelTable<std::int16_t>(storage->samples.get(), format, frameCapacity);
        }
        storage->planes = format.isInterleaved() ? 1 : format.channelCount();
        storage->planeBytes = static_cast<std::size_t>(frameCapacity) * format.bytesPerSample();
        storage->list.reset(new std::byte[listBytes(storage->planes)]());
        std::shared_ptr<PCMBuffer> buffer(new PCMBuffer(format, frameCapacity, std::move(storage)));
        buffer->refreshBufferList();
        return buffer;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

PCMBuffer::PCMBuffer(const AudioFormat& format, std::uint32_t capacity,
                     std::unique_ptr<Storage> storage) noexcept
    : format_(format), capacity_(capacity), storage_(std::move(storage)) {}

PCMBuffer::~PCMBuffer() = default;

bool PCMBuffer::setFrameLength(std::uint32_t frames) noexcept {
    if (frames > capacity_) {
        return false;
    }
    length_ = frames;
    refreshBufferList();
    return true;
}

std::uint32_t PCMBuffer::stride() const noexcept {
    return format_.isInterleaved() ? format_.channelCount() : 1;
}

float* const* PCMBuffer::floatChannelData() noexcept {
    return storage_->floats.get();
}

const float* const* PCMBuffer::floatChannelData() const noexcept {
    return storage_->floats.get();
}

std::int16_t* const* PCMBuffer::int16ChannelData() noexcept {
    return storage_->ints.get();
}

const std::int16_t* const* PCMBuffer::int16ChannelData() const noexcept {
    return storage_->ints.get();
}

AudioBufferList* PCMBuffer::mutableAudioBufferList() noexcept {
    refreshBufferList();
    return reinterpret_cast<AudioBufferList*>(storage_->list.get());
}

const AudioBufferList* PCMBuffer::audioBufferList() const noexcept {
    return reinterpret_cast<const AudioBufferList*>(storage_->list.get());
}

void PCMBuffer::refreshBufferList() noexcept {
    auto* list = reinterpret_cast<AudioBufferList*>(storage_->list.get());
    const std::uint32_t channelsPerPlane = format_.isInterleaved() ? format_.channelCount() : 1;
    list->mNumberBuffers = storage_->planes;
    AudioBuffer* buffers = list->mBuffers;
    for (std::uint32_t p = 0; p < storage_->planes; ++p) {
        buffers[p].mNumberChannels = channelsPerPlane;
        buffers[p].mDataByteSize = length_ * channelsPerPlane * format_.bytesPerSample();
        buffers[p].mData = storage_->plane(p);
    }
}

}  // namespace platform
