// Hostile list files, loaded at start-up and used by the main window: length bytes above the
// capacity, a file of 0xFF bytes, names that are not plain text, and paths written to make a
// shell run something — launched for real, through the system's launcher.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dialogs_fixture.h"
#include "files.h"
#include "gui_fixture.h"
#include "launch_record.h"
#include "launcher.h"
#include "process_probes.h"
#include "records.h"
#include "unit1.h"
#include "views.h"

namespace {

using namespace kestrun_test;
namespace fs = std::filesystem;

// A record whose length bytes are those of the fields given, made without the store's code.
std::string plain(const std::string& name, const std::string& path, std::uint8_t enabled) {
    return raw_record(static_cast<std::uint8_t>(name.size()), name,
                      static_cast<std::uint8_t>(path.size()), path, enabled);
}

using HostileList = GuiTest;

TEST_F(HostileList, LengthBytesOf255ReadAsTheFieldsCapacity) {
    const std::string name(store::name_capacity, 'N');
    const std::string path = "/opt/" + std::string(store::path_capacity - 5, 'p');
    write_bytes(list_path(), raw_record(255, name, 255, path, 1) +
                                 raw_record(255, "Second name is here!", 21, "/bin/second", 1));
    const std::string before = list_bytes();
    Windows w;
    EXPECT_TRUE(error_boxes.empty());
    EXPECT_EQ(line_names(w.form), (std::vector<std::string>{name, "Second name is here!"}));
    EXPECT_EQ(item_names(w.form), line_names(w.form));

    // A path length above the capacity reads the whole field; 21 reads 21 bytes, zeros and all.
    w.form.RunApplication1->actions()[0]->trigger();
    w.form.RunApplication1->actions()[1]->trigger();
    EXPECT_EQ(launched, (std::vector<std::string>{path, "/bin/second" + std::string(10, '\0')}));
    launched.clear();

    // Toggling rewrites the record as it was read: the same bytes but the enabled byte.
    w.form.CheckListBox1->item(1)->setCheckState(Qt::Unchecked);
    std::string expected = before;
    expected[2 * store::record_size - 1] = 0;
    EXPECT_EQ(list_bytes(), expected);

    w.form.Button5->click();
    EXPECT_EQ(launched, std::vector<std::string>{path});
    EXPECT_TRUE(error_boxes.empty());
}

TEST_F(HostileList, FileOfFFBytesLoadsTwoDisabledEntriesAndItsTailGoesWithARewrite) {
    write_bytes(list_path(), std::string(500, '\xff'));  // two records and 54 bytes
    Windows w;
    EXPECT_TRUE(error_boxes.empty());
    const std::string name(store::name_capacity, '\xff');
    EXPECT_EQ(line_names(w.form), (std::vector<std::string>{name, name}));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(w.form.CheckListBox1->item(i)->checkState(), Qt::Unchecked);  // 0xFF is not 1
        EXPECT_FALSE(w.form.CheckListBox1->item(i)->text().isEmpty());
    }
    w.form.Button5->click();
    EXPECT_TRUE(launched.empty());  // nothing enabled

    w.form.RunApplication1->actions()[1]->trigger();  // same name: the first record's path
    EXPECT_EQ(launched, std::vector<std::string>{std::string(store::path_capacity, '\xff')});

    w.form.CheckListBox1->item(1)->setCheckState(Qt::Checked);  // the first of that name
    std::string expected(2 * store::record_size, '\xff');
    expected[store::record_size - 1] = 1;
    EXPECT_EQ(list_bytes(), expected);
    EXPECT_TRUE(error_boxes.empty());
}

TEST_F(HostileList, NamesThatAreNotPlainTextKeepTheirIdentity) {
    // Two names that show the same replacement character but differ in their bytes, a name
    // with accelerator marks, one with control characters and one cut inside a character.
    const std::vector<std::string> names = {"\xff",
                                            "\xfe",
                                            "A&&B&C",
                                            std::string("tab\tbell\a\x1b[31m\0nul", 18),
                                            "\xc3\x28\xe2\x82",
                                            "caf\xc3\xa9 \xe2\x9c\x93"};
    std::string bytes;
    for (std::size_t i = 0; i < names.size(); ++i)
        bytes += plain(names[i], "/bin/entry" + std::to_string(i), 1);
    write_bytes(list_path(), bytes);
    Windows w;
    EXPECT_TRUE(error_boxes.empty());
    ASSERT_EQ(line_names(w.form), names);
    EXPECT_EQ(item_names(w.form), names);
    EXPECT_EQ(w.form.CheckListBox1->item(5)->text(), QString::fromUtf8("caf\xc3\xa9 \xe2\x9c\x93"));

    // Each item starts its own entry.
    for (int i = static_cast<int>(names.size()) - 1; i >= 0; --i)
        w.form.RunApplication1->actions()[i]->trigger();
    std::vector<std::string> expected;
    for (int i = static_cast<int>(names.size()) - 1; i >= 0; --i)
        expected.push_back("/bin/entry" + std::to_string(i));
    EXPECT_EQ(launched, expected);

    // A toggle and a delete hit the entry of those bytes, not the look-alike.
    w.form.CheckListBox1->item(1)->setCheckState(Qt::Unchecked);
    EXPECT_EQ(read_list()[0].enabled, 1);
    EXPECT_EQ(read_list()[1].enabled, 0);
    w.form.CheckListBox1->setCurrentRow(0);
    w.confirm.Button1->click();
    EXPECT_EQ(line_names(w.form), std::vector<std::string>(names.begin() + 1, names.end()));
    ASSERT_EQ(read_list().size(), names.size() - 1);
    EXPECT_EQ(store::record_name(read_list()[0]), "\xfe");
    EXPECT_TRUE(error_boxes.empty());
}

// --- No shell ever runs a path ---------------------------------------------------------------

// The argument lists that runs of the recorder at `program` have left, once there are `runs`
// of them (waiting up to 10 s); each ends with "done".
std::vector<std::vector<std::string>> recorded_runs(const fs::path& program, std::size_t runs) {
    std::vector<std::vector<std::string>> found;
    eventually([&] {
        found.clear();
        for (const auto& entry : fs::directory_iterator(program.parent_path())) {
            const std::string file = entry.path().filename().string();
            const std::string prefix = program.filename().string() + ".";
            if (file.rfind(prefix, 0) != 0 || file.size() < 5 ||
                file.compare(file.size() - 5, 5, ".args") != 0)
                continue;
            std::ifstream in(entry.path());
            found.emplace_back();
            for (std::string line; std::getline(in, line);) found.back().push_back(line);
        }
        return found.size() >= runs;
    });
    return found;
}

TEST_F(HostileList, PathsMeantForAShellRunNothingButTheNamedProgram) {
    const fs::path dir = fs::current_path();
    // Each run writes its arguments, one a line, then "done", to <its name>.<pid>.args.
    const fs::path rec = dir / "rec";
    std::ofstream(rec) << "#!/bin/sh\nout=\"$0.$$\"\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; "
                          "done > \"$out.tmp\"\necho done >> \"$out.tmp\"\nmv \"$out.tmp\" "
                          "\"$out.args\"\n";
    fs::permissions(rec, fs::perms::owner_all);
    fs::copy_file(rec, dir / "rec two");
    const std::string p = (dir / "pwned").string();

    const std::vector<std::string> paths = {
        rec.string() + " a; touch " + p + "1",
        "\"" + (dir / "rec two").string() + "\" \"$(touch " + p + "2)\" `touch " + p + "3` x",
        "$(touch " + p + "4)",
        "`touch " + p + "5`",
        "/bin/true\ntouch " + p + "6",
        "true; touch " + p + "7",
    };
    std::string bytes;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        ASSERT_LE(paths[i].size(), store::path_capacity) << "the scratch directory's name is long";
        bytes += plain("entry" + std::to_string(i), paths[i], 1);
    }
    write_bytes(list_path(), bytes);

    platform::Services real = platform::services();
    real.launch = platform::launch_command_line;
    const platform::ScopedServices real_launcher(real);
    const AdoptingOrphans adopting;
    ASSERT_TRUE(adopting.ok());
    Windows w;
    w.form.RunApplication1->actions()[0]->trigger();  // launch-one
    w.form.Button5->click();                          // launch-all
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(error_boxes.empty());

    // The first entry was started twice (its item, then launch-all), the second once.
    const std::vector<std::string> first = {"a;", "touch", p + "1", "done"};
    EXPECT_EQ(recorded_runs(rec, 2), (std::vector<std::vector<std::string>>{first, first}));
    EXPECT_EQ(recorded_runs(dir / "rec two", 1),
              (std::vector<std::vector<std::string>>{
                  {"$(touch " + p + "2)", "`touch", p + "3`", "x", "done"}}));

    // Anything wrongly started is a descendant of ours, adopted when its parent ended: once
    // none is left, all of them have done whatever they were going to do.
    ASSERT_GE(AdoptingOrphans::reap_all(), 0);
    std::vector<std::string> created;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().rfind("pwned", 0) == 0)
            created.push_back(entry.path().filename().string());
    EXPECT_EQ(created, std::vector<std::string>{});
}

}  // namespace
