// Formats validate what they describe and convert to and from stream descriptions without loss;
// PCM buffers lay out channels as their format says and report allocation failure as null.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/AudioFormat.h"
#include "platform/PCMBuffer.h"

namespace {

using platform::AudioFormat;
using platform::CommonFormat;
using platform::PCMBuffer;

constexpr auto kF32 = CommonFormat::pcmFormatFloat32;
constexpr auto kI16 = CommonFormat::pcmFormatInt16;

TEST(AudioFormat, RefusesRatesAndChannelCountsThatDescribeNoAudio) {
    const double badRates[] = {0.0, -48000.0, std::nan(""), std::numeric_limits<double>::infinity(),
                               2e6};
    for (const double rate : badRates) {
        SCOPED_TRACE(rate);
        EXPECT_FALSE(AudioFormat::make(kF32, rate, 1, true).has_value());
    }
    EXPECT_FALSE(AudioFormat::make(kF32, 48000, 0, true).has_value());
    EXPECT_FALSE(AudioFormat::make(kF32, 48000, AudioFormat::kMaxChannels + 1, true).has_value());
    EXPECT_TRUE(AudioFormat::make(kI16, 44100, AudioFormat::kMaxChannels, false).has_value());
}

TEST(AudioFormat, EqualOnlyWhenTypeRateChannelsAndLayoutAllMatch) {
    const AudioFormat base = *AudioFormat::make(kF32, 16000, 1, false);
    EXPECT_EQ(base, *AudioFormat::make(kF32, 16000, 1, false));
    EXPECT_NE(base, *AudioFormat::make(kI16, 16000, 1, false));
    EXPECT_NE(base, *AudioFormat::make(kF32, 16000.5, 1, false));
    EXPECT_NE(base, *AudioFormat::make(kF32, 16000, 2, false));
    EXPECT_NE(base, *AudioFormat::make(kF32, 16000, 1, true));
}

TEST(AudioFormat, StreamDescriptionsRoundTripAndMatchThePackedLayout) {
    for (const auto type : {kF32, kI16}) {
        for (const std::uint32_t channels : {1u, 2u, 6u}) {
            for (const bool interleaved : {true, false}) {
                SCOPED_TRACE(testing::Message()
                             << static_cast<int>(type) << " " << channels << " " << interleaved);
                const AudioFormat format = *AudioFormat::make(type, 44100, channels, interleaved);
                EXPECT_EQ(AudioFormat::fromStreamDescription(format.streamDescription()), format);
            }
        }
    }
    // The capture side's description: float, packed, interleaved (flags 9), 4 bytes per channel.
    const AudioStreamBasicDescription d =
        AudioFormat::make(kF32, 48000, 2, true)->streamDescription();
    EXPECT_EQ(d.mSampleRate, 48000.0);
    EXPECT_EQ(d.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(d.mFormatFlags, 9u);
    EXPECT_EQ(d.mBytesPerPacket, 8u);
    EXPECT_EQ(d.mFramesPerPacket, 1u);
    EXPECT_EQ(d.mBytesPerFrame, 8u);
    EXPECT_EQ(d.mChannelsPerFrame, 2u);
    EXPECT_EQ(d.mBitsPerChannel, 32u);
}

TEST(AudioFormat, RefusesDescriptionsWhoseSamplesWeCannotLocateOrRead) {
    const AudioStreamBasicDescription good =
        AudioFormat::make(kI16, 48000, 2, true)->streamDescription();
    auto refused = [](AudioStreamBasicDescription d) {
        return !AudioFormat::fromStreamDescription(d).has_value();
    };
    AudioStreamBasicDescription d = good;
    d.mFormatID = platform::fourCC("aac ");
    EXPECT_TRUE(refused(d));
    d = good;
    d.mFormatFlags |= platform::kAudioFormatFlagIsBigEndian;
    EXPECT_TRUE(refused(d));
    d = good;
    d.mFormatFlags &= ~platform::kAudioFormatFlagIsSignedInteger;  // unsigned 16-bit
    EXPECT_TRUE(refused(d));
    d = good;
    d.mBitsPerChannel = 24;
    EXPECT_TRUE(refused(d));
    d = good;
    d.mBytesPerFrame = 2;  // claims one channel's worth for an interleaved stereo frame
    EXPECT_TRUE(refused(d));
    d = good;
    d.mFramesPerPacket = 2;
    EXPECT_TRUE(refused(d));
    d = good;
    d.mSampleRate = 0.0;
    EXPECT_TRUE(refused(d));
}

TEST(PCMBuffer, LaysOutPlanarAndInterleavedChannelsWithMatchingBufferLists) {
    auto planar = PCMBuffer::make(*AudioFormat::make(kF32, 48000, 2, false), 100);
    ASSERT_NE(planar, nullptr);
    EXPECT_EQ(planar->frameLength(), 0u);
    EXPECT_EQ(planar->stride(), 1u);
    EXPECT_EQ(planar->floatChannelData()[1] - planar->floatChannelData()[0], 100);
    EXPECT_EQ(planar->int16ChannelData(), nullptr);
    ASSERT_TRUE(planar->setFrameLength(60));
    const AudioBufferList* list = planar->audioBufferList();
    ASSERT_EQ(list->mNumberBuffers, 2u);
    for (std::uint32_t c = 0; c < 2; ++c) {
        EXPECT_EQ(list->mBuffers[c].mNumberChannels, 1u);
        EXPECT_EQ(list->mBuffers[c].mDataByteSize, 240u);
        EXPECT_EQ(list->mBuffers[c].mData, planar->floatChannelData()[c]);
    }

    auto interleaved = PCMBuffer::make(*AudioFormat::make(kI16, 16000, 3, true), 10);
    ASSERT_NE(interleaved, nullptr);
    EXPECT_EQ(interleaved->floatChannelData(), nullptr);
    EXPECT_EQ(interleaved->stride(), 3u);
    EXPECT_EQ(interleaved->int16ChannelData()[2] - interleaved->int16ChannelData()[0], 2);
    ASSERT_TRUE(interleaved->setFrameLength(10));
    AudioBufferList* mutableList = interleaved->mutableAudioBufferList();
    ASSERT_EQ(mutableList->mNumberBuffers, 1u);
    EXPECT_EQ(mutableList->mBuffers[0].mNumberChannels, 3u);
    EXPECT_EQ(mutableList->mBuffers[0].mDataByteSize, 60u);
    // Filling through the list is visible through the channel pointers.
    static_cast<std::int16_t*>(mutableList->mBuffers[0].mData)[3 * 9 + 2] = 1234;
    EXPECT_EQ(interleaved->int16ChannelData()[2][9 * interleaved->stride()], 1234);
}

TEST(PCMBuffer, StartsSilentAndRefusesLengthsBeyondCapacity) {
    auto buffer = PCMBuffer::make(*AudioFormat::make(kF32, 48000, 1, true), 480);
    ASSERT_NE(buffer, nullptr);
    for (std::uint32_t i = 0; i < 480; ++i) {
        ASSERT_EQ(buffer->floatChannelData()[0][i], 0.0f);
    }
    EXPECT_TRUE(buffer->setFrameLength(480));
    EXPECT_FALSE(buffer->setFrameLength(481));
    EXPECT_EQ(buffer->frameLength(), 480u);
    EXPECT_EQ(buffer->audioBufferList()->mBuffers[0].mDataByteSize, 480u * 4);
}

TEST(PCMBuffer, ReportsImpossibleAllocationsAsNull) {
    EXPECT_EQ(PCMBuffer::make(*AudioFormat::make(kF32, 48000, 1, true), 0), nullptr);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer allocators abort on a terabyte request instead of failing it";
#else
    const AudioFormat wide = *AudioFormat::make(kF32, 48000, AudioFormat::kMaxChannels, true);
    EXPECT_EQ(PCMBuffer::make(wide, std::numeric_limits<std::uint32_t>::max()), nullptr);
#endif
}

}  // namespace
