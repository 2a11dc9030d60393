#include "host/gtk/navigation_policy.h"

#include <gtest/gtest.h>

using host::gtk::AddressVerdict;
using host::gtk::CheckAddress;

struct AddressCase {
    const char* address;
    AddressVerdict verdict;
};

void PrintTo(const AddressCase& c, std::ostream* os) { *os << '"' << c.address << '"'; }

class CheckAddressTest : public testing::TestWithParam<AddressCase> {};

TEST_P(CheckAddressTest, SortsOutWhatTheEngineWouldSilentlyBlank) {
    EXPECT_EQ(CheckAddress(GetParam().address), GetParam().verdict) << GetParam().address;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckAddressTest,
    testing::Values(AddressCase{"http://tovel", AddressVerdict::Loadable},
                    AddressCase{"http://127.0.0.1:8080/app?x=1#top", AddressVerdict::Loadable},
                    AddressCase{"  http://tovel/  ", AddressVerdict::Loadable},
                    AddressCase{"HTTPS://user:pw@tovel:443/", AddressVerdict::Loadable},
                    AddressCase{"http://[::1]:8080/", AddressVerdict::Loadable},
                    AddressCase{"about:blank", AddressVerdict::Loadable},
                    AddressCase{"", AddressVerdict::Empty}, AddressCase{"   ", AddressVerdict::Empty},
                    AddressCase{"not a url", AddressVerdict::Malformed},
                    AddressCase{"tovel:8080",
                                AddressVerdict::Loadable},  // a scheme the engine reports itself
                    AddressCase{"http:tovel", AddressVerdict::Malformed},
                    AddressCase{"http://", AddressVerdict::Malformed},
                    AddressCase{"http://:80/", AddressVerdict::Malformed},
                    AddressCase{"http://tovel:99999/", AddressVerdict::Malformed},
                    AddressCase{"http://tovel:8o/", AddressVerdict::Malformed},
                    AddressCase{"http://[::1/", AddressVerdict::Malformed},
                    AddressCase{"http://127.0.0.1:6000/", AddressVerdict::BlockedPort},
                    AddressCase{"http://tovel:1", AddressVerdict::BlockedPort},
                    AddressCase{"https://[::1]:25/", AddressVerdict::BlockedPort},
                    AddressCase{"http://tovel:6001/", AddressVerdict::Loadable}),
    [](const testing::TestParamInfo<AddressCase>& info) { return "case_" + std::to_string(info.index); });
