// Flags, experiments, snapshots, SDK properties and the experiment request.

#include <gtest/gtest.h>

#include "ExperimentTestFixture.h"

using platform::Object;

namespace {

class APMERecordsTest : public ExperimentTest {};

// The field a flag's value travels in, by tag.
enum class Slot { None, Int64, String, Double, Bool };

Slot slotOf(const APMPBFlag& flag) {
  // Tags 2 to 5: integer, string, double, boolean.
  std::vector<Slot> present;
  if (APMNanoHasField(flag, APMPBFlag::kIntValue)) present.push_back(Slot::Int64);
  if (APMNanoHasField(flag, APMPBFlag::kStringValue)) present.push_back(Slot::String);
  if (APMNanoHasField(flag, APMPBFlag::kDoubleValue)) present.push_back(Slot::Double);
  if (APMNanoHasField(flag, APMPBFlag::kBoolValue)) present.push_back(Slot::Bool);
  return present.size() == 1 ? present.front() : Slot::None;
}

}  // namespace

TEST_F(APMERecordsTest, DefaultFlagValuesKeepTheirKindThroughTheMessage) {
  struct Row {
    Object value;
    Slot slot;
    Object readBack;
    Object::Kind readKind;
  } rows[] = {
      {Object(true), Slot::Int64, Object(1), Object::Kind::Integer},
      {Object(false), Slot::Int64, Object(0), Object::Kind::Integer},
      {Object(int64_t{-9007199254740993}), Slot::Int64, Object(int64_t{-9007199254740993}), Object::Kind::Integer},
      {Object(0.5), Slot::Double, Object(0.5), Object::Kind::Double},
      {Object(2.0), Slot::Double, Object(2.0), Object::Kind::Double},
      {Object("on"), Slot::String, Object("on"), Object::Kind::String},
      {Object(""), Slot::String, Object(""), Object::Kind::String},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.value.description());
    auto made = APMEFlagFromNameAndValue(Object("f"), row.value);
    ASSERT_TRUE(made);
    EXPECT_EQ(APMNanoGetString(*made, APMPBFlag::kName), "f");
    EXPECT_EQ(slotOf(*made), row.slot);
    // Through the wire, as the database and the service carry it.
    auto decoded = APMPBFlag::fromBuffer(made->protoBuffer());
    ASSERT_TRUE(decoded);
    auto value = APMEValueFromFlag(decoded);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, row.readBack);
    EXPECT_EQ(value->kind(), row.readKind);
  }
}

TEST_F(APMERecordsTest, AFlagReadsItsFirstValueInIntegerDoubleStringBooleanOrder) {
  struct Row {
    std::optional<int64_t> integer;
    std::optional<std::string> text;
    std::optional<double> real;
    std::optional<bool> boolean;
    std::optional<Object> expected;
  } rows[] = {
      {7, "x", 1.5, true, Object(7)},
      {7, "x", std::nullopt, std::nullopt, Object(7)},
      {std::nullopt, "x", 1.5, true, Object(1.5)},
      {std::nullopt, "x", std::nullopt, true, Object("x")},
      {std::nullopt, std::nullopt, std::nullopt, false, Object(false)},
      {std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& row : rows) {
    APMPBFlag flag;
    APMNanoSetString(flag, APMPBFlag::kName, std::string("f"));
    if (row.integer) APMNanoSetInt64(flag, APMPBFlag::kIntValue, *row.integer);
    if (row.text) APMNanoSetString(flag, APMPBFlag::kStringValue, row.text);
    if (row.real) APMNanoSetDouble(flag, APMPBFlag::kDoubleValue, *row.real);
    if (row.boolean) APMNanoSetBool(flag, APMPBFlag::kBoolValue, *row.boolean);
    auto value = APMEValueFromFlag(flag);
    EXPECT_EQ(value, row.expected) << (row.expected ? row.expected->description() : "none");
    if (value && row.expected) {
      EXPECT_EQ(value->kind(), row.expected->kind());
    }
  }
  EXPECT_EQ(APMEValueFromFlag(std::shared_ptr<APMPBFlag>()), std::nullopt);
}

TEST_F(APMERecordsTest, FlagsAreRefusedForBadNamesAndValues) {
  struct Row {
    Object name;
    Object value;
    int64_t code;
    std::string text;
  } rows[] = {
      {Object(), Object(1), 850000, "Flag name must not be nil"},
      {Object(3), Object(1), 850001, "Flag name must be a string"},
      {Object(std::string("a\0b", 3)), Object(1), 850001, "Flag name must be a string"},
      {Object("f"), Object(), 850002, "Flag value is invalid"},
      {Object("f"), Object(platform::Array{Object(1)}), 850002, "Flag value is invalid"},
      {Object("f"), Object(platform::Dictionary{}), 850002, "Flag value is invalid"},
      {Object("f"), Object(platform::Data{1}), 850002, "Flag value is invalid"},
  };
  for (const auto& row : rows) {
    forget();
    EXPECT_EQ(APMEFlagFromNameAndValue(row.name, row.value), nullptr) << row.code;
    EXPECT_TRUE(logged(1, row.code, row.text)) << row.code;
  }
}

TEST_F(APMERecordsTest, ExperimentsKeepTheLastFlagOfANameAndRefuseNamelessFlags) {
  auto experiment = APMEExperiment::create(5, {flag("a", Object(1)), flag("b", Object("x")), flag("a", Object(2))});
  ASSERT_TRUE(experiment);
  EXPECT_EQ(experiment->flagCount(), 2u);
  EXPECT_EQ(APMEValueFromFlag(experiment->flagWithName("a")), Object(2));

  auto nameless = std::make_shared<APMPBFlag>();
  APMNanoSetInt64(*nameless, APMPBFlag::kIntValue, 1);
  experiment->addFlag(nameless);
  EXPECT_TRUE(logged(2, 870006, "Cannot add a flag without name into an experiment. ID"));
  experiment->addFlag(nullptr);
  EXPECT_TRUE(logged(2, 870004, "Cannot add empty flag into an experiment. ID"));
  EXPECT_EQ(experiment->flagCount(), 2u);
  EXPECT_EQ(experiment->flagWithName(""), nullptr);
  EXPECT_TRUE(logged(2, 870007, "Cannot retrieve a flag without a flag name"));

  EXPECT_EQ(APMEExperiment::create(std::nullopt, {}), nullptr);
  EXPECT_TRUE(logged(2, 870000, "Cannot create an experiment without ID"));
  EXPECT_EQ(APMEExperiment::create(1, {flag("a", Object(1)), nullptr}), nullptr);
  EXPECT_TRUE(logged(2, 870003, "Cannot add non-flag into the experiment. Flag"));

  // The message form: ID in tag 1, flags in tag 2, and back.
  auto back = APMEExperiment::fromProto(*APMPBExperiment::fromBuffer(experiment->proto()->protoBuffer()));
  EXPECT_EQ(back->experimentID(), 5);
  EXPECT_EQ(APMEValueFromFlag(back->flagWithName("b")), Object("x"));
  EXPECT_EQ(APMEExperiment::fromProto(APMPBExperiment())->experimentID(), 0);
}

TEST_F(APMERecordsTest, SnapshotCopiesAreFreshAndNotManuallyActivated) {
  auto original = snapshot("sdk", {experiment(5, {{"a", Object(1)}}), experiment(7, {{"b", Object("x")}})});
  ASSERT_TRUE(original);
  EXPECT_EQ(original->timestamp(), 1700000000.0);
  EXPECT_FALSE(original->manuallyActivated());
  original->setManuallyActivated(true);
  original->setTimestamp(1.0);
  clock_->advance(60);

  auto copy = original->copy();
  EXPECT_EQ(copy->timestamp(), 1700000060.0);
  EXPECT_FALSE(copy->manuallyActivated());
  EXPECT_EQ(copy->SDKName(), "sdk");
  EXPECT_EQ(idsOf(copy), (std::vector<int64_t>{5, 7}));
  // The copy's experiments are its own: changing them leaves the original alone.
  copy->addFlag(flag("c", Object(3)), 5);
  EXPECT_EQ(original->flagByName("c"), nullptr);
  EXPECT_EQ(APMEValueFromFlag(copy->flagByName("c")), Object(3));
}

TEST_F(APMERecordsTest, SnapshotsBuildFromExperimentsAndMessages) {
  // A later experiment with the same ID replaces an earlier one.
  auto replaced = snapshot("sdk", {experiment(5, {{"a", Object(1)}}), experiment(5, {{"b", Object(2)}})});
  EXPECT_EQ(replaced->flagByName("a"), nullptr);
  EXPECT_EQ(APMEValueFromFlag(replaced->flagByName("b")), Object(2));

  // addFlag creates the experiment when absent.
  replaced->addFlags({flag("c", Object(3)), flag("d", Object(4))}, 9);
  EXPECT_EQ(idsOf(replaced), (std::vector<int64_t>{5, 9}));
  replaced->addFlag(flag("e", Object(5)), std::nullopt);
  EXPECT_TRUE(logged(2, 840003, "Cannot add flag into empty experiment ID"));
  replaced->addFlag(nullptr, 9);
  EXPECT_TRUE(logged(2, 840004, "Cannot add an invalid flag into a snapshot"));

  auto decoded = APMESnapshot::fromProto(*APMPBSnapshot::fromBuffer(replaced->proto()->protoBuffer()));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->SDKName(), "sdk");
  EXPECT_EQ(idsOf(decoded), (std::vector<int64_t>{5, 9}));
  EXPECT_EQ(APMEValueFromFlag(decoded->flagByName("d")), Object(4));

  struct Refusal {
    std::optional<std::string> name;
    std::vector<std::shared_ptr<APMEExperiment>> experiments;
    int64_t code;
    std::string text;
  } refusals[] = {
      {std::nullopt, {}, 840000, "Cannot create snapshot with an invalid SDK name"},
      {"", {}, 840000, "Cannot create snapshot with an invalid SDK name"},
      {"sdk", {nullptr}, 840002, "Cannot create snapshot with an invalid experiment"},
  };
  for (const auto& refusal : refusals) {
    forget();
    EXPECT_EQ(APMESnapshot::create(refusal.name, refusal.experiments), nullptr);
    EXPECT_TRUE(logged(2, refusal.code, refusal.text));
  }
  EXPECT_EQ(APMESnapshot::fromProto(APMPBSnapshot()), nullptr) << "a message without SDK name";
}

TEST_F(APMERecordsTest, ClientPropertyCarriesDiversionNameVersionAppIDAndCustomProperties) {
  struct Dynamic : APMESDKPropertyDelegate {
    std::optional<std::map<std::string, std::string>> dynamicCustomPropertiesForSDKProperty(
        const APMESDKProperty&) override {
      return std::map<std::string, std::string>{{"b", "dynamic"}, {"c", "3"}};
    }
  };
  APMESDKProperty::setDefaultDiversionKeyProvider([] { return std::string("K1234"); });

  APMESDKProperty measurement("app_measurement");
  measurement.setVersion(111500);
  auto message = measurement.proto();
  ASSERT_TRUE(message);
  EXPECT_EQ(APMNanoGetString(*message, APMPBClientProperty::kSdkName), "app_measurement");
  EXPECT_EQ(APMNanoGetString(*message, APMPBClientProperty::kDiversion), "K1234-app_measurement");
  EXPECT_EQ(APMNanoGetInt64(*message, APMPBClientProperty::kSdkVersion), 111500);
  EXPECT_FALSE(APMNanoHasField(*message, APMPBClientProperty::kAppId));
  EXPECT_EQ(APMNanoGetRepeatedField<std::shared_ptr<APMPBCustomProperty>>(*message,
                                                                          APMPBClientProperty::kCustomProperties),
            std::nullopt)
      << "no custom properties: the field stays unset";

  APMESDKProperty other("other");
  other.setDiversionKey("own");
  other.setAppID("1:123:ios:abc");
  other.setCustomProperties({{"a", "static"}, {"b", "static"}});
  auto dynamic = std::make_shared<Dynamic>();
  other.setDelegate(dynamic);
  message = other.proto();
  ASSERT_TRUE(message);
  EXPECT_EQ(APMNanoGetString(*message, APMPBClientProperty::kDiversion), "own-other");
  EXPECT_EQ(APMNanoGetString(*message, APMPBClientProperty::kAppId), "1:123:ios:abc");
  std::map<std::string, std::string> custom;
  auto entries =
      APMNanoGetRepeatedField<std::shared_ptr<APMPBCustomProperty>>(*message, APMPBClientProperty::kCustomProperties);
  ASSERT_TRUE(entries);
  for (const auto& entry : *entries) {
    custom[*APMNanoGetString(*entry, APMPBCustomProperty::kName)] = *APMNanoGetString(*entry, APMPBCustomProperty::kValue);
  }
  EXPECT_EQ(custom, (std::map<std::string, std::string>{{"a", "static"}, {"b", "dynamic"}, {"c", "3"}}));

  APMESDKProperty::setDefaultDiversionKeyProvider([] { return std::string(); });
  EXPECT_EQ(measurement.proto(), nullptr);
  EXPECT_TRUE(logged(1, 860001, "Diversion key is empty"));
}

TEST_F(APMERecordsTest, RequestCarriesTheApplicationAndEverySDKWithADiversionKey) {
  // The application's part is pinned byte for byte by the end-to-end test.
  testsupport::ScopedEnvironment language("LANGUAGE", "de_AT:en");
  auto builder = std::make_shared<APMEExperimentRequestBuilder>();
  auto request = builder->request();
  auto app = APMNanoGetMessage<APMPBAppProperty>(*request, APMPBExperimentRequest::kAppProperty);
  ASSERT_TRUE(app);
  EXPECT_EQ(APMNanoGetString(*app, APMPBAppProperty::kLanguage), "de-at");
  EXPECT_EQ(APMNanoGetRepeatedField<std::shared_ptr<APMPBClientProperty>>(*request,
                                                                          APMPBExperimentRequest::kClientProperties),
            std::nullopt)
      << "no SDK: field 2 unset";

  auto keyed = std::make_shared<APMESDKProperty>("keyed");
  keyed->setDiversionKey("abcde");
  auto unkeyed = std::make_shared<APMESDKProperty>("unkeyed");
  builder->addSDKProperty(keyed);
  builder->addSDKProperty(unkeyed);
  builder->addSDKProperty(nullptr);
  EXPECT_TRUE(logged(2, 880000, "Cannot add an empty SDK property."));
  // The same name replaces the earlier property.
  auto replacement = std::make_shared<APMESDKProperty>("keyed");
  replacement->setDiversionKey("fghij");
  builder->addSDKProperty(replacement);

  auto clients = APMNanoGetRepeatedField<std::shared_ptr<APMPBClientProperty>>(
      *builder->request(), APMPBExperimentRequest::kClientProperties);
  ASSERT_TRUE(clients);
  ASSERT_EQ(clients->size(), 1u) << "the SDK without any diversion key is left out";
  EXPECT_EQ(APMNanoGetString(*clients->front(), APMPBClientProperty::kDiversion), "fghij-keyed");
  EXPECT_EQ(APMEManager::version(), 10000);
}
