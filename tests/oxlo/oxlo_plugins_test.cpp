#include "oxlo_private.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace fs = std::filesystem;

namespace {

/* A bare module is enough for the loader: it only uses the plug-in table. */
struct bare_module {
    std::unique_ptr<oxlo_module> m{new oxlo_module{}};
    ~bare_module() { oxlo_plugins_close(m.get()); }
};

class plugins : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("oxlo_plugins_" + std::to_string(getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    void add(const char *fixture, const std::string &as)
    {
        fs::copy_file(fs::path(OXLO_PLUGIN_FIXTURE_DIR) / (std::string(fixture) + ".so"), dir / as);
    }
    std::string path(const std::string &name) const { return (dir / name).string(); }
};

bool still_loaded(const std::string &path)
{
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!h)
        return false;
    dlclose(h);
    return true;
}

int init_calls(const std::string &path)
{
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!h)
        return -1;
    int calls = *static_cast<int *>(dlsym(h, "fixture_init_calls"));
    dlclose(h);
    return calls;
}

} // namespace

TEST_F(plugins, good_ones_load_and_init_in_order_others_are_ignored)
{
    add("good_one", "a.so");
    add("good_two", "b.so");
    add("good_one", ".hidden.so");
    add("good_one", "c.so.disabled");
    std::ofstream(dir / "README") << "not a plug-in\n";
    bare_module b;
    testing::internal::CaptureStdout();
    EXPECT_EQ(oxlo_load_plugins(b.m.get(), dir.c_str()), 2);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(b.m->plugin_count, 2u);
    EXPECT_EQ(init_calls(path("a.so")), 0);
    EXPECT_EQ(oxlo_plugins_init(b.m.get()), 0);
    EXPECT_EQ(init_calls(path("a.so")), 1);
    EXPECT_EQ(init_calls(path("b.so")), 1);
    oxlo_plugins_close(b.m.get());
    EXPECT_EQ(b.m->plugin_count, 0u);
    EXPECT_FALSE(still_loaded(path("a.so")));
}

TEST_F(plugins, each_flaw_is_rejected_counted_and_the_library_closed)
{
    add("good_one", "good.so");
    add("bad_magic", "bad_magic.so");
    add("no_entry", "no_entry.so");
    add("null_init", "null_init.so");
    std::ofstream(dir / "garbage.so") << "not an ELF file\n";
    bare_module b;
    testing::internal::CaptureStdout();
    EXPECT_EQ(oxlo_load_plugins(b.m.get(), dir.c_str()), -4);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(b.m->plugin_count, 1u);
    EXPECT_NE(out.find("bad magic"), std::string::npos);
    EXPECT_NE(out.find("no PluginEntryFctn"), std::string::npos);
    EXPECT_NE(out.find("no init function"), std::string::npos);
    for (const char *name : {"bad_magic.so", "no_entry.so", "null_init.so"})
        EXPECT_FALSE(still_loaded(path(name))) << name;
    /* The accepted one is still usable: a NULL init never reaches the call. */
    EXPECT_EQ(oxlo_plugins_init(b.m.get()), 0);
    EXPECT_EQ(init_calls(path("good.so")), 1);
}

TEST_F(plugins, at_most_31_are_accepted)
{
    for (int i = 0; i < 40; i++)
        add("good_one", "p" + std::to_string(100 + i) + ".so");
    bare_module b;
    testing::internal::CaptureStdout();
    EXPECT_EQ(oxlo_load_plugins(b.m.get(), dir.c_str()), -9);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(b.m->plugin_count, 31u);
    EXPECT_NE(out.find("too many plugins"), std::string::npos);
}

TEST_F(plugins, bad_arguments)
{
    bare_module b;
    EXPECT_EQ(oxlo_load_plugins(nullptr, dir.c_str()), -1);
    EXPECT_EQ(oxlo_load_plugins(b.m.get(), nullptr), -1);
    EXPECT_EQ(oxlo_load_plugins(b.m.get(), (dir / "missing").c_str()), -1);
    EXPECT_EQ(oxlo_load_plugins(b.m.get(), dir.c_str()), 0);
}
