"""Runnable 25.2 models for the tests of tarvix.schedules: no zones, only schedules, a calendar (run periods,
special days, daylight saving time, design days) and the engine's "Schedule Value" at every timestep."""

HEAD = """Version,25.2;
Building,Schedules,0,Suburbs,0.04,0.4,FullExterior,25,6;
GlobalGeometryRules,UpperLeftCorner,Counterclockwise,Relative;
Timestep,4;
SimulationControl,No,No,No,Yes,Yes,No,1;
Site:Location,Chicago Ohare Intl Ap,41.98,-87.92,-6.0,201.0;
SizingPeriod:DesignDay,Winter 99.6,1,21,WinterDesignDay,-20,0.0,DefaultMultipliers,,Wetbulb,-20,,,,,98934,4.9,270,
    No,No,No,ASHRAEClearSky,,,,,0.0;
SizingPeriod:DesignDay,Summer 1,7,21,SummerDesignDay,33.3,10.5,DefaultMultipliers,,Wetbulb,23.7,,,,,98934,5.2,230,
    Yes,No,No,ASHRAEClearSky,,,,,1.0;
SizingPeriod:DesignDay,Holiday Day,12,25,Holiday,-5,0.0,DefaultMultipliers,,Wetbulb,-5,,,,,98934,4.9,270,
    No,No,No,ASHRAEClearSky,,,,,0.0;
RunPeriod,January,1,1,,1,14,,,Yes,Yes,Yes,Yes,Yes;
RunPeriod,Spring,3,6,,3,19,,Wednesday,Yes,Yes,No,Yes,Yes;
RunPeriodControl:SpecialDays,New Year,1/1,1,Holiday;
RunPeriodControl:SpecialDays,Saturday Off,January 7,1,Holiday;
RunPeriodControl:SpecialDays,Custom,3rd Monday in January,2,CustomDay1;
RunPeriodControl:SpecialDays,Spring Custom,Last Friday in March,1,CustomDay2;
RunPeriodControl:SpecialDays,Spring Break,3/8,3,Holiday;
RunPeriodControl:DaylightSavingTime,1/5,2nd Sunday in March;
ScheduleTypeLimits,Any Number;
Output:Variable,*,Schedule Value,Timestep;
Output:SQLite,Simple;
"""

SCHEDULES = """Schedule:Compact,Office,Any Number,
    Through: 12/31,
    For: Weekdays, Until: 7:10, 0.1, Until: 18:00, 1, Until: 24:00, 0.2,
    For: Holiday, Until: 24:00, 0.05,
    For: AllOtherDays, Until: 12:00, 0.3, Until: 24:00, 0.4;
Schedule:Compact,Averaged,Any Number,
    Through: 12/31,
    For: AllDays, Interpolate: Average, Until: 6:20, 2, Until: 7:05, 5, Until: 19:50, 3, Until: 24:00, 1;
Schedule:Compact,Ramped,Any Number,
    Through: 12/31,
    For: AllDays, Interpolate: Linear, Until: 6:00, 10, Until: 9:00, 20, Until: 17:30, 15, Until: 24:00, 0;
Schedule:Compact,Seasons,Any Number,
    Through: 3/10,
    For: SummerDesignDay, Until: 24:00, 9,
    For: WinterDesignDay, Until: 24:00, 10,
    For: CustomDay1 CustomDay2, Until: 13:00, 11, Until: 24:00, 12,
    For: Weekends, Until: 24:00, 6,
    For: AllOtherDays, Until: 24:00, 1,
    Through: 12/31,
    For: AllDays, Until: 1:00, 100, Until: 23:00, 50, Until: 24:00, 25;
Schedule:Day:Interval,Day A,Any Number,No,8:00,1,12:30,2,24:00,3;
Schedule:Day:Interval,Day B,Any Number,Average,5:50,4,24:00,5;
Schedule:Day:Hourly,Day C,Any Number,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24;
Schedule:Day:List,Day D,Any Number,Average,20,
    1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32,33,34,35,36,
    37,38,39,40,41,42,43,44,45,46,47,48,49,50,51,52,53,54,55,56,57,58,59,60,61,62,63,64,65,66,67,68,69,70,71,72;
Schedule:Week:Daily,Week A,Day A,Day B,Day C,Day D,Day A,Day B,Day C,Day D,Day A,Day B,Day C,Day D;
Schedule:Week:Compact,Week B,For: Weekdays,Day C,For: SummerDesignDay WinterDesignDay,Day D,For: AllOtherDays,Day A;
Schedule:Year,Yearly,Any Number,Week A,1,1,1,9,Week B,1,10,3,12,Week A,3,13,12,31;
Schedule:Constant,Always,Any Number,0.75;
"""

MODEL = HEAD + SCHEDULES
