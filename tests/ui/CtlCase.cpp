#include "CtlCase.h"

#include <gtest/gtest.h>

#include <sstream>

#include "CService.h"
#include "UiTestSupport.h"
#include "ZorvaneCtl.h"

std::string runCtlCase(const CtlCase& c, const UiEndpoint& endpoint) {
    std::string line;
    for (const std::string& arg : c.args) {
        line += arg + " ";
    }
    SCOPED_TRACE("zorvanectl " + line);
    std::istringstream in(c.input);
    std::ostringstream out;
    std::ostringstream err;
    CService service(endpoint.makeClient());  // one connection per run, as the program
    EXPECT_EQ(runZorvaneCtl(c.args, CtlStreams{in, out, err, c.terminal}, service), c.exitCode);
    EXPECT_NE(out.str().find(c.out), std::string::npos) << out.str();
    EXPECT_NE(err.str().find(c.err), std::string::npos) << err.str();
    return out.str();
}
