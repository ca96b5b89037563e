#include <gtest/gtest.h>
#include <pb_common.h>

#include <string>
#include <vector>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"

namespace {

const NANOMessageClass* classWithDescriptor(const pb_msgdesc_t* descriptor) {
  for (const auto& messageClass : APMPBMessageClasses()) {
    if (messageClass.info->descriptor == descriptor) return &messageClass;
  }
  return nullptr;
}

// The nanopb field behind an index, so the filler knows which accessor family to use.
bool fieldAt(const NANOMessageBase& message, int index, pb_field_iter_t* field) {
  const uint32_t tag = message.messageInfo().tagForIndex(index);
  return tag != 0 &&
         pb_field_iter_begin_const(field, message.messageInfo().descriptor, message.rawMessage()) &&
         pb_field_iter_find(field, tag);
}

// Sets every field of the message to a value derived from its index; sub-messages are filled
// the same way down to `depth` levels. Returns false when some index refused its value.
bool fillAll(NANOMessageBase& message, int depth) {
  const NANOMessageInfo& info = message.messageInfo();
  for (int index = 0; index < static_cast<int>(info.fieldCount); ++index) {
    pb_field_iter_t field;
    if (!fieldAt(message, index, &field)) continue;
    const bool repeated = PB_HTYPE(field.type) == PB_HTYPE_REPEATED;
    bool ok = true;
    switch (PB_LTYPE(field.type)) {
      case PB_LTYPE_BOOL:
        ok = repeated ? APMNanoSetRepeatedField(message, index, std::vector<bool>{true, false})
                      : APMNanoSetBool(message, index, true);
        break;
      case PB_LTYPE_VARINT:
        ok = repeated ? APMNanoSetRepeatedField(message, index, std::vector<int64_t>{-1000 - index, 1})
                      : APMNanoSetInt64(message, index, field.data_size == 4 ? index + 1 : -1000 - index);
        break;
      case PB_LTYPE_UVARINT:
        ok = repeated ? APMNanoSetRepeatedField(message, index, std::vector<uint64_t>{4000000000u, 0})
                      : APMNanoSetInt64(message, index, 4000000000);
        break;
      case PB_LTYPE_FIXED64:
        ok = repeated ? APMNanoSetRepeatedField(message, index, std::vector<double>{index + 0.25, -1})
                      : APMNanoSetDouble(message, index, index + 0.25);
        break;
      case PB_LTYPE_STRING:
        ok = repeated ? APMNanoSetRepeatedField(message, index, std::vector<std::string>{"v", ""})
                      : APMNanoSetString(message, index, "v" + std::to_string(index));
        break;
      case PB_LTYPE_SUBMESSAGE: {
        if (depth == 0) break;
        const NANOMessageClass* subClass = classWithDescriptor(field.submsg_desc);
        if (subClass == nullptr) return false;
        auto first = subClass->create();
        auto second = subClass->create();
        if (!fillAll(*first, depth - 1)) return false;
        ok = repeated ? nano_detail::setRepeatedMessages(message, index, {first.get(), second.get()})
                      : APMNanoSetMessage(message, index, *first);
        break;
      }
      default:
        ADD_FAILURE() << info.className << " index " << index << " has an unexpected kind";
        return false;
    }
    if (!ok) {
      ADD_FAILURE() << info.className << " index " << index << " refused its value";
      return false;
    }
  }
  return true;
}

// Every field of every message survives encoding, decoding and deep copying with its value.
TEST(MessageRoundTrip, EveryFieldOfEveryMessage) {
  ASSERT_GE(APMPBMessageClasses().size(), 45u);
  for (const auto& messageClass : APMPBMessageClasses()) {
    const NANOMessageInfo& info = *messageClass.info;
    SCOPED_TRACE(info.className);
    auto original = messageClass.create();
    ASSERT_TRUE(fillAll(*original, 2));
    const platform::Data bytes = original->protoBuffer();
    EXPECT_EQ(bytes.empty(), info.fieldCount == 0);
    auto decoded = messageClass.decode(bytes);
    ASSERT_NE(decoded, nullptr);
    EXPECT_TRUE(decoded->isEqual(*original));
    EXPECT_EQ(decoded->protoBuffer(), bytes);
    // Clearing a deep copy leaves the original as it was.
    auto copy = original->copyMessage();
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(copy->isEqual(*original));
    for (int index = 0; index < static_cast<int>(info.fieldCount); ++index) {
      if (info.tagForIndex(index) != 0) {
        EXPECT_TRUE(APMNanoHasField(*decoded, index)) << "index " << index;
      }
      APMNanoClearField(*copy, index);
    }
    EXPECT_TRUE(copy->protoBuffer().empty());
    EXPECT_EQ(original->protoBuffer(), bytes);
  }
}

}  // namespace
