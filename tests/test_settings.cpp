// The settings text: what the environment and the call apply, what they
// reject and say, and the listing of what is in force.  Every TEST runs in a
// process of its own, so each one reads the environment afresh.

#include "ap_monitor.h"
#include "ap_settings.h"
#include "ap_stats.h"
#include "testing.h"
#include "malloc_statis.h"
#include "pmem.h"

namespace {

std::string settings() {
    char buf[2048];
    EXPECT_LT(auto_plex_settings(buf, sizeof buf), sizeof buf);
    return buf;
}

// Built by appending: gcc 12's -O2 takes "," + a temporary for an overlapping copy.
bool lists(std::string pair) {
    std::string all = ",";
    (all += settings()) += ',';
    return all.find((pair.insert(0, 1, ',') += ',')) != std::string::npos;
}

// The message of a text the call rejects.
std::string rejected(const char *text) {
    char message[256];
    EXPECT_EQ(auto_plex_configure(text, message, sizeof message), -22);
    return message;
}

// The first init reads the environment; what it prints on stderr comes back.
std::string first_init_says() {
    testing::internal::CaptureStderr();
    EXPECT_GE(reg_module_id("first"), 0);
    return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(Settings, DefaultsAreListedInOrderAndApplyAgainUnchanged) {
    const std::string before = settings();
    EXPECT_EQ(before.rfind("release=delay,release_delay_ms=1000,release_slack=1048576,report=", 0),
              0u)
        << before;
    char message[64] = "untouched";
    EXPECT_TRUE(auto_plex_configure(before.c_str(), message, sizeof message) == 0 && !*message &&
                settings() == before)
        << message;
    // The machine-readable reports carry the listing.
    std::string metrics;
    ap_metrics_write_to(t::append_to, &metrics);
    EXPECT_NE(metrics.find("\nauto_plex_settings_info{settings=\"" + before + "\"} 1\n"),
              std::string::npos);
    const std::string path = t::temp_path("settings.json");
    ASSERT_EQ(mem_statis_debug_json(path.c_str()), 0);
    EXPECT_NE(t::read_file(path).find("\"settings\":\"" + before + "\""), std::string::npos);
}

TEST(Settings, EnvironmentNamesEachBadPairOnceAndAppliesTheRest) {
    ap_fault::conf_setting =
        " release = trim ,bogus=1,release_delay_ms=3600001,,release_slack=2k,noequals,"
        "release_delay_ms=12x";
    EXPECT_EQ(first_init_says(),
              "libauto_plex: AUTO_PLEX_CONF: unknown key in \"bogus=1\"; expected one of release, "
              "release_delay_ms, release_slack, report, leak_report, poison, pmem_limit, "
              "fail_every, fail_permille, fail_seed, fail_times, fail_min_size, fail_pmem_module, "
              "fail_pmem_pool, fail_plex, fail_statis_module; ignored\n"
              "libauto_plex: AUTO_PLEX_CONF: \"release_delay_ms=3600001\": out of range; expected "
              "milliseconds from 0 to 3600000; ignored\n"
              "libauto_plex: AUTO_PLEX_CONF: \"noequals\": expected key=value; ignored\n"
              "libauto_plex: AUTO_PLEX_CONF: \"release_delay_ms=12x\": expected milliseconds from "
              "0 to 3600000; ignored\n");
    EXPECT_TRUE(lists("release=trim") && lists("release_delay_ms=1000") &&
                lists("release_slack=2048"))
        << settings();
    // Read once: a later init says nothing more.
    testing::internal::CaptureStderr();
    auto_plex plex;
    ASSERT_EQ(auto_plex_init(&plex, 8, 0, "later"), 0);
    auto_plex_clear(&plex);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Settings, OlderVariablesAreAliasesThatTheTextOverrides) {
    ap_fault::release_setting = "TRIM";
    ap_fault::delay_setting = "250";
    ap_fault::report_setting = "/tmp/old-report";
    EXPECT_EQ(first_init_says(),
              "libauto_plex: \"AUTO_PLEX_RELEASE=TRIM\": expected delay, pages or trim; ignored\n");
    EXPECT_TRUE(lists("release=delay") && lists("release_delay_ms=250") &&
                lists("report=/tmp/old-report"))
        << settings();
}

TEST(Settings, TextWinsOverAliasAndACallWinsOverBoth) {
    ap_fault::release_setting = "pages";
    ap_fault::conf_setting = "release=trim,release_delay_ms=5";
    // A call made before any init comes after the environment, not before.
    EXPECT_EQ(auto_plex_set_release_delay(7), 0);
    EXPECT_TRUE(lists("release=trim") && lists("release_delay_ms=7")) << settings();
}

TEST(Settings, CallRejectsWithAMessageAndAppliesTheRest) {
    EXPECT_EQ(rejected("release=pages,release_slack=1g,release=x,release_slack=9999999g"),
              "\"release=x\": expected delay, pages or trim");
    EXPECT_TRUE(lists("release=pages") && lists("release_slack=1073741824")) << settings();
    EXPECT_EQ(plex_release_slack_internal(), size_t{1} << 30);
    // Truncated yet terminated; a null text changes nothing.
    char small[8];
    EXPECT_TRUE(auto_plex_configure("=", small, sizeof small) == -22 && !strcmp(small, "unknown"));
    EXPECT_EQ(rejected(nullptr), "no settings text");
    // Quoted input is bounded and made printable.
    const std::string long_key = std::string(200, 'k') + "\n=1";
    EXPECT_EQ(rejected(long_key.c_str()).substr(0, 100),
              "unknown key in \"" + std::string(80, 'k') + "...\"");
    EXPECT_NE(rejected("fail_every=18446744073709551616").find("out of range"), std::string::npos);
}

TEST(Settings, ListingIsTruncatedLikeSnprintf) {
    const std::string whole = settings();
    char buf[10];
    EXPECT_TRUE(auto_plex_settings(buf, sizeof buf) == whole.size() && buf == whole.substr(0, 9) &&
                auto_plex_settings(nullptr, 0) == whole.size());
}

TEST(Settings, ControlKeysReachTheirComponents) {
    ap_fault::conf_setting =
        "fail_seed=9,fail_every=2,fail_pmem_module=net_rx,fail_plex=x,poison=on,"
        "pmem_limit=parser:1k,pmem_limit=nosuch:1,leak_report=stderr";
    EXPECT_EQ(first_init_says(),
              "libauto_plex: AUTO_PLEX_CONF: \"fail_plex=x\": expected filters of one kind: empty "
              "the others first (fail_pmem_module= and fail_pmem_pool= for pmem, fail_plex=, "
              "fail_statis_module=); ignored\n"
              "libauto_plex: AUTO_PLEX_CONF: \"pmem_limit=nosuch:1\": expected <module>:<bytes>, "
              "the module a pmem module's name or an id from 0 to 128; ignored\n");
    EXPECT_NE(settings().find("leak_report=stderr,poison=on,pmem_limit=parser:1024,fail_every=2,"
                              "fail_permille=0,fail_seed=9,fail_times=0,fail_min_size=0,"
                              "fail_pmem_module=net_rx,fail_pmem_pool=,fail_plex=,"
                              "fail_statis_module="),
              std::string::npos)
        << settings();
    pmem_init();
    void *kept = pmem_malloc(1, 8);
    EXPECT_TRUE(kept && !pmem_malloc(1, 8) && ap_fail_injected() == 1);
    EXPECT_EQ(pmem_malloc(3, 1025), nullptr);  // the ceiling
    pmem_free(kept);
    // Pairs edit the rule in force; the last one here switches it off.
    EXPECT_EQ(rejected("fail_pmem_module=,fail_pmem_pool=3,fail_plex=,fail_pmem_pool=27,"
                       "poison=maybe,pmem_limit=,leak_report=off,fail_every=0"),
              "\"fail_pmem_pool=27\": expected a pool id from 0 to 26 or its name "
              "(pmem_pool_<size>), or nothing for any");
    EXPECT_TRUE(lists("fail_every=0") && lists("fail_seed=9") && lists("fail_pmem_module=") &&
                lists("fail_pmem_pool=pmem_pool_64") && lists("poison=on") &&
                lists("pmem_limit=") && lists("leak_report=off"))
        << settings();
    EXPECT_TRUE(pmem_malloc(3, 4096) && ap_fail_injected() == 1) << "rule or ceiling still on";
}
