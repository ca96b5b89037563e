// The wire format checked against protoc's own encoder, so that our messages are the
// real protocol-buffer format and not merely consistent with themselves.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "ProtocEncoding.h"

namespace {

using protoctest::protocEncode;

template <class T>
std::shared_ptr<T> element(const NANOMessageBase& message, int index, size_t position) {
  auto list = APMNanoGetRepeatedField<std::shared_ptr<T>>(message, index);
  return list && position < list->size() ? (*list)[position] : nullptr;
}

const char* const kBatchText = R"(
bundles {
  protocol_version: 1
  events {
    params { name: "_o" string_value: "auto" }
    params { name: "_et" int_value: 1500 }
    name: "_e"
    timestamp_millis: 1700000000123
    previous_timestamp_millis: 1699999999000
  }
  user_attributes { set_timestamp_millis: 1700000000000 name: "_fot" int_value: 1700002800000 }
  user_attributes { name: "_ldl" double_value: 2.5 }
  previous_bundle_start_timestamp_millis: 1699990000000
  platform: "macos"
  vendor_device_id: "VENDOR"
  limited_ad_tracking: true
  audience_evaluation_results {
    audience_id: 7
    current_data { status: 1 status: 18446744073709551615 results: 1 }
    new_audience: true
  }
  experiment_ids: 101
  experiment_ids: 4000000000
  tracking_authorization_status: 3
  ad_campaign_info {
    zclid: "c"
    event_timestamp_millis: 5
    deep_link_zad_params { key: "zad_x" value: "y" }
  }
  linked_client_flags: 9
}
upload_subdomain: "region1"
)";

// Decodes protoc's encoding of `text`; both encoders write fields in tag order, so re-encoding
// must give protoc's bytes exactly.
template <class T>
std::shared_ptr<T> decodeProtocText(const std::string& type, const std::string& file,
                                    const char* text) {
  const platform::Data bytes = protocEncode(type, file, text);
  EXPECT_FALSE(bytes.empty());
  auto message = T::fromBuffer(bytes);
  if (message) {
    EXPECT_EQ(message->protoBuffer(), bytes);
    // Encoding into a buffer that holds an earlier message's bytes replaces them.
    platform::Data reused(bytes.size() + 3, 0xAB);
    EXPECT_TRUE(message->encode(reused));
    EXPECT_EQ(reused, bytes);
  }
  return message;
}

TEST(ProtocInterop, BatchEncodedByProtocDecodes) {
  auto batch = decodeProtocText<APMPBMeasurementBatch>("MeasurementBatch", "upload.proto", kBatchText);
  ASSERT_NE(batch, nullptr);
  // Unsigned values above the signed range read back whole.
  auto bundle = element<APMPBMeasurementBundle>(*batch, 0, 0);
  ASSERT_NE(bundle, nullptr);
  EXPECT_EQ(APMNanoGetRepeatedField<uint32_t>(*bundle, 37), (std::vector<uint32_t>{101, 4000000000u}));
  auto result = element<APMPBAudienceLeafFilterResult>(*bundle, 28, 0);
  ASSERT_NE(result, nullptr);
  auto current = APMNanoGetMessage<APMPBResultData>(*result, 1);
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(APMNanoGetRepeatedField<uint64_t>(*current, 0), (std::vector<uint64_t>{1, 18446744073709551615u}));
}

const char* const kConfigText = R"(
version: 1234
app_id: "1:123:macos:abc"
settings { name: "measurement.upload.interval" value: "30000" }
settings { name: "measurement.quality.checksum" value: "1" }
event_configs { name: "_e" is_blocklisted: true sampling_rate: 10 }
audiences {
  audience_id: 3
  property_filters {
    filter_id: 1
    property_name: "tier"
    filter { string_filter { match_type: IN_LIST expression_list: "a" expression_list: "b" } }
    session_scoped: true
  }
  event_filters {
    filter_id: 2
    event_name: "purchase"
    filters { number_filter { comparison_type: BETWEEN min_comparison_value: "5" max_comparison_value: "10" } param_name: "value" }
    event_count_filter { comparison_type: GREATER_THAN comparison_value: "2" }
    dynamic: true
  }
}
programs { instructions { type: STATEMENT function_name: "0" value { type: NUMBER number_value: 1 } } }
data_controls { name: "user_id" pairs { first: "a" second: "b" } flag: true }
upload_subdomain: "sub"
consent_config {
  default_entries { type: AD_STORAGE mode: DENIED }
  delegations { type: AD_USER_DATA delegate_type: AD_STORAGE }
  core_platform_services { name: "svc" }
  dma_region: false
  regional_default_entries { type: ANALYTICS_STORAGE mode: GRANTED }
}
psm_setting { email_prefix_bits: 30 }
sstg_setting { upload_url: "https://example.test/a" rollout_percentage: 100 }
)";

TEST(ProtocInterop, ConfigurationEncodedByProtocDecodes) {
  auto config = decodeProtocText<APMPBMeasurementConfig>("MeasurementConfig",
                                                         "measurement_config.proto", kConfigText);
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(APMNanoGetInt64(*config, 0), 1234);
  auto setting = element<APMPBSetting>(*config, 3, 1);
  ASSERT_NE(setting, nullptr);
  EXPECT_EQ(APMNanoGetString(*setting, 1), "1");
  auto eventConfig = element<APMPBEventConfig>(*config, 4, 0);
  ASSERT_NE(eventConfig, nullptr);
  EXPECT_TRUE(APMNanoGetBool(*eventConfig, 1));
  EXPECT_FALSE(APMNanoHasField(*eventConfig, 2));
  EXPECT_EQ(APMNanoGetInt32(*eventConfig, 3), 10);

  auto audience = element<APMPBAudience>(*config, 5, 0);
  ASSERT_NE(audience, nullptr);
  auto propertyFilter = element<APMPBPropertyFilter>(*audience, 1, 0);
  ASSERT_NE(propertyFilter, nullptr);
  auto filter = APMNanoGetMessage<APMPBFilter>(*propertyFilter, 2);
  ASSERT_NE(filter, nullptr);
  auto stringFilter = APMNanoGetMessage<APMPBStringFilter>(*filter, 0);
  ASSERT_NE(stringFilter, nullptr);
  EXPECT_EQ(APMNanoGetInt32(*stringFilter, 0), 6);
  EXPECT_EQ(APMNanoGetRepeatedField<std::string>(*stringFilter, 3),
            (std::vector<std::string>{"a", "b"}));

  // An explicit false is present, not absent.
  auto consent = APMNanoGetMessage<APMPBConsentConfig>(*config, 12);
  ASSERT_NE(consent, nullptr);
  EXPECT_TRUE(APMNanoHasField(*consent, 3));
  EXPECT_FALSE(APMNanoGetBool(*consent, 3));
  auto delegation = element<APMPBConsentDelegationEntry>(*consent, 1, 0);
  ASSERT_NE(delegation, nullptr);
  EXPECT_EQ(APMNanoGetInt32(*delegation, 1), 1);
}

const char* const kProgramText = R"(
instructions {
  type: STATEMENT
  function_name: "2"
  value { type: STRING string_value: "x" }
  value {
    type: STATEMENT
    function_name: "callMethod"
    value { type: BOOLEAN boolean_value: true }
    value { type: NUMBER number_value: -0.5 }
  }
}
activities {
  activities { name: "log" data { type: STRING string_value: "a" } }
  activities { name: "empty" }
}
)";

TEST(ProtocInterop, ProgramEncodedByProtocDecodes) {
  auto program = decodeProtocText<APMPBProgram>("Program", "program.proto", kProgramText);
  ASSERT_NE(program, nullptr);
  auto statement = element<APMPBRuntimeEntity>(*program, 0, 0);
  ASSERT_NE(statement, nullptr);
  EXPECT_EQ(APMNanoGetInt32(*statement, 0), 4);
  EXPECT_EQ(APMNanoGetString(*statement, 2), "2");
  auto call = element<APMPBRuntimeEntity>(*statement, 1, 1);
  ASSERT_NE(call, nullptr);
  EXPECT_TRUE(APMNanoGetBool(*element<APMPBRuntimeEntity>(*call, 1, 0), 4));
  EXPECT_EQ(APMNanoGetDouble(*element<APMPBRuntimeEntity>(*call, 1, 1), 5), -0.5);
  auto activities = APMNanoGetMessage<APMPBOgtActivities>(*program, 1);
  ASSERT_NE(activities, nullptr);
  auto list = APMNanoGetRepeatedField<std::shared_ptr<APMPBOgtActivity>>(*activities, 0);
  ASSERT_TRUE(list && list->size() == 2);
  EXPECT_EQ(APMNanoGetString(*element<APMPBRuntimeEntity>(*(*list)[0], 1, 0), 3), "a");
  EXPECT_EQ(APMNanoGetRepeatedField<std::shared_ptr<APMPBRuntimeEntity>>(*(*list)[1], 1),
            std::nullopt);
}

}  // namespace
