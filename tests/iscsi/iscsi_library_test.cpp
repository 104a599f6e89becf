// libiscsi as the transport loads it on first use: every routine the transport calls found by
// name, once, the same table for every later caller.
#include <string>

#include <gtest/gtest.h>

#include "host/iscsi_library.h"

namespace {

TEST(IscsiLibrary, EveryRoutineIsFoundOnceForAllCallers)
{
    std::string error;
    const host::IscsiLibrary* first = host::LoadIscsi(error);
    ASSERT_NE(first, nullptr) << error;
    EXPECT_EQ(error, "");
    std::string missing;
#define VELMDAT_ISCSI_CHECK(name) missing += first->name == nullptr ? " " #name : "";
    VELMDAT_ISCSI_ROUTINES(VELMDAT_ISCSI_CHECK)
#undef VELMDAT_ISCSI_CHECK
    EXPECT_EQ(missing, "") << "routines left unresolved";
    EXPECT_EQ(host::LoadIscsi(error), first);
    // The routines are the library's own: a context made through the table works.
    iscsi_context* context = first->iscsi_create_context("iqn.2026-12.test:initiator");
    ASSERT_NE(context, nullptr);
    EXPECT_GE(first->iscsi_get_fd(context), -1);
    first->iscsi_destroy_context(context);
}

}  // namespace
