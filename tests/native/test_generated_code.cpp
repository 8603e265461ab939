#include "filters/generated_code.hpp"

#include <gtest/gtest.h>

#include <string>

#include "filters/fragments.hpp"

namespace sarn {
namespace {

struct NameCase {
    std::string file;
    bool generated = false;
    bool from_template = false;
};

void PrintTo(const NameCase& c, std::ostream* out) { *out << '"' << c.file << '"'; }

class GeneratedCode : public testing::TestWithParam<NameCase> {};

TEST_P(GeneratedCode, Outcomes) {
    const NameCase& c = GetParam();
    EXPECT_EQ(is_generated_name(c.file), c.generated) << "generated";
    EXPECT_EQ(is_template_file(c.file), c.from_template) << "template";
    // Both are part of the file-name decision; a name that neither (nor the
    // older tests) catches stays user code.
    if (c.generated || c.from_template) EXPECT_TRUE(is_skipped_file(c.file));
}

INSTANTIATE_TEST_SUITE_P(
    Library, GeneratedCode,
    testing::Values(NameCase{.file = "<decorator-gen-12>", .generated = true},
                    NameCase{.file = "<makefun-gen-0>", .generated = true},
                    NameCase{.file = "<sqlalchemy generated wrapper>", .generated = true},
                    NameCase{.file = "<template>", .generated = true},
                    NameCase{.file = "<>", .generated = true},
                    NameCase{.file = "<stdin>x>", .generated = true},  // exact names are exact
                    NameCase{.file = "/proj/templates/page.html", .from_template = true},
                    NameCase{.file = "/proj/templates/PAGE.HTML", .from_template = true},
                    NameCase{.file = "templates/mail.txt.j2", .from_template = true},
                    NameCase{.file = R"(C:\proj\templates\base.jinja2)", .from_template = true},
                    NameCase{.file = "/proj/deploy/config.yaml", .from_template = true},
                    NameCase{.file = "/srv/app.tmpl/x.tpl", .from_template = true}));

INSTANTIATE_TEST_SUITE_P(
    User, GeneratedCode,
    testing::Values(NameCase{.file = "<stdin>"}, NameCase{.file = "<console>"}, NameCase{.file = "<input>"},
                    NameCase{.file = "<python-input-12>"}, NameCase{.file = "<ipython-input-3-6f1ab2c4>"},
                    NameCase{.file = "<bpython-input-4>"}, NameCase{.file = "<pyshell#7>"},
                    NameCase{.file = "<doctest shop.cart.total[0]>"}, NameCase{.file = "<doctest README.txt[2]>"},
                    NameCase{.file = "/tmp/ipykernel_4242/2954870331.py"}, NameCase{.file = "/proj/app.py"},
                    NameCase{.file = "/proj/bin/tool"},        // a script without an extension
                    NameCase{.file = "/proj/my.templates/tool"},  // a dot in a folder is no extension
                    NameCase{.file = "/home/u/.pythonrc"}, NameCase{.file = "/proj/site.wsgi"},
                    NameCase{.file = "/proj/views.pyx"}, NameCase{.file = "/proj/page.html5"},
                    NameCase{.file = "/proj/notes.markdown"}, NameCase{.file = "/proj/page."},
                    NameCase{.file = "<"}, NameCase{.file = ""}));

}  // namespace
}  // namespace sarn
