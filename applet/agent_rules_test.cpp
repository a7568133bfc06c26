#include "applet/agent_rules.h"
#include "applet/agent_history.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(AgentPage, a_family_product_locks_the_agent_box_and_hides_its_options) {
    const AgentPageLayout family = AgentPageLayoutOf(true);
    EXPECT_STREQ(family.note, kAgentFamilyNote);
    EXPECT_FALSE(family.agentBoxEnabled);
    EXPECT_FALSE(family.optionsShown);
    const AgentPageLayout alone = AgentPageLayoutOf(false);
    EXPECT_STREQ(alone.note, kAgentOverrideNote);
    EXPECT_TRUE(alone.agentBoxEnabled);
    EXPECT_TRUE(alone.optionsShown);
}

TEST(AgentPage, fields_store_seconds_and_a_reference_cut_to_its_field) {
    SettingsRecord record{};
    const std::string longName(100, 'r');
    StoreAgentFields(AgentPageFields{longName.c_str(), 15, 250, true, false, true}, &record);
    EXPECT_EQ(std::string(record.referenceClock),
              longName.substr(0, sizeof(record.referenceClock) - 1));
    EXPECT_EQ(record.agentPollInterval, 900u);
    EXPECT_EQ(record.alertThreshold, 250u);
    EXPECT_EQ(record.agentEnabled, 1u);
    EXPECT_EQ(record.alertIfUnverified, 0u);
    EXPECT_EQ(record.alertIfUnsynchronized, 1u);
}

} // namespace
