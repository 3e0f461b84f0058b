// The fixture of the tests across hosts: one Site, and the test skipped
// where its namespaces or links cannot be made.
#ifndef DRAX_LINKS_SITE_TEST_H
#define DRAX_LINKS_SITE_TEST_H

#include "site.h"

#include <gtest/gtest.h>

namespace links {

class SiteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        if (!site_.ok(why))
            GTEST_SKIP() << why;
    }
    // Why the site failed, for a failed step's message.
    std::string why()
    {
        std::string w;
        site_.ok(w);
        return w;
    }
    Site site_;
};

} // namespace links

#endif
