// The schedule evaluator. The input is a document text, loaded against a
// small schema with the schedule and calendar classes; every schedule is
// evaluated over every environment. Whatever the text holds (times and dates
// that do not read, counts that lie, names that collide, days left without a
// schedule), the evaluation ends with one value for each timestep of each
// day, and no finding points past the document.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "core/document/document.h"
#include "core/schedules/schedules.h"
#include "core/schema/schema.h"

using namespace tarvix;

namespace {

constexpr std::string_view kSchema = R"(\group Simulation
Timestep,
  N1 ; \field Number of Timesteps per Hour
RunPeriod,
  A1 , \field Name
  N1 , \field Begin Month
  N2 , \field Begin Day of Month
  N3 , \field Begin Year
  N4 , \field End Month
  N5 , \field End Day of Month
  N6 , \field End Year
  A2 , \field Day of Week for Start Day
  A3 , \field Use Weather File Holidays and Special Days
  A4 , \field Use Weather File Daylight Saving Period
  A5 ; \field Apply Weekend Holiday Rule
SizingPeriod:DesignDay,
  A1 , \field Name
  N1 , \field Month
  N2 , \field Day of Month
  A2 , \field Day Type
  A3 ; \field Daylight Saving Time Indicator
RunPeriodControl:SpecialDays,
  A1 , \field Name
  A2 , \field Start Date
  N1 , \field Duration
  A3 ; \field Special Day Type
RunPeriodControl:DaylightSavingTime,
  A1 , \field Start Date
  A2 ; \field End Date
ScheduleTypeLimits,
  A1 , \field Name
  N1 , \field Lower Limit Value
  N2 , \field Upper Limit Value
  A2 ; \field Numeric Type
Schedule:Constant,
  A1 , \field Name
  A2 , \field Schedule Type Limits Name
  N1 ; \field Hourly Value
Schedule:Compact,
  \extensible:1
  A1 , \field Name
  A2 , \field Schedule Type Limits Name
  A3 ; \field Field 1
       \begin-extensible
Schedule:Day:Interval,
  \extensible:2
  A1 , \field Name
  A2 , \field Schedule Type Limits Name
  A3 , \field Interpolate to Timestep
  A4 , \field Time 1
       \begin-extensible
  N1 ; \field Value Until Time 1
Schedule:Day:List,
  \extensible:1
  A1 , \field Name
  A2 , \field Schedule Type Limits Name
  A3 , \field Interpolate to Timestep
  N1 , \field Minutes per Item
  N2 ; \field Value 1
       \begin-extensible
Schedule:Week:Compact,
  \extensible:2
  A1 , \field Name
  A2 , \field DayType List 1
       \begin-extensible
  A3 ; \field Schedule:Day Name 1
Schedule:Year,
  \extensible:5
  A1 , \field Name
  A2 , \field Schedule Type Limits Name
  A3 , \field Schedule:Week Name 1
       \begin-extensible
  N1 , \field Start Month 1
  N2 , \field Start Day 1
  N3 , \field End Month 1
  N4 ; \field End Day 1
)";

const c_IDD& schema() {
    static const c_IDD idd = fuzz::parse_fixed_schema(kSchema);
    return idd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    Document doc(&schema());
    DocumentError error;
    if (!doc.load(make_text_store(std::string(text)), false, error)) return 0;
    doc.finish_load();
    schedules::Model model;
    schedules::read_model(doc, schema(), model);
    for (const schedules::Model::Finding& finding : model.findings) FUZZ_CHECK(finding.slot < doc.slot_count());
    FUZZ_CHECK(model.names.size() == model.year_weeks.size() && model.names.size() == model.errors.size());
    std::vector<double> values;
    for (const schedules::Environment& environment : model.environments) {
        const std::vector<schedules::Day> days = schedules::calendar(model, environment);
        // No days exactly when the engine refuses the environment's dates.
        FUZZ_CHECK(days.empty() == !environment.error.empty() && days.size() <= 366 * 400);
        values.assign(days.size() * static_cast<size_t>(24 * model.timesteps), -1.0);
        for (size_t k = 0; k < model.names.size(); ++k) schedules::values(model, k, days, values.data());
    }
    return 0;
}
