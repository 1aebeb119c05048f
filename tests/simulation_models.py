"""Small runnable models (version 25.2) for the tests of tarvix.simulation, as IDF text; five_zone() makes one
from the geometry of 5ZoneWaterLoopHeatPump.idf.

BOX: one 10 m x 8 m x 3 m zone with a south window, ideal loads and two design days (winter, summer),
plus a week's run period in January for weather-file runs. HVAC_TEMPLATE: the same box served by an
HVACTemplate:Zone:IdealLoadsAirSystem, so the engine's ExpandObjects has work to do. BROKEN: the box
with a wall whose construction does not exist (a severe input error, then a fatal one)."""

from geometry_models import five_zone_parts

_HEAD = """Version,25.2;
Building,Box,0,Suburbs,0.04,0.4,FullInteriorAndExterior,25,6;
GlobalGeometryRules,UpperLeftCorner,Counterclockwise,Relative;
Timestep,4;
SimulationControl,No,No,No,Yes,Yes,No,1;
RunPeriod,January week,1,1,,1,7,,Sunday,Yes,Yes,No,Yes,Yes;
Site:Location,Chicago Ohare Intl Ap,41.98,-87.92,-6.0,201.0;
SizingPeriod:DesignDay,Winter 99.6,1,21,WinterDesignDay,-20,0.0,DefaultMultipliers,,Wetbulb,-20,,,,,98934,4.9,270,
    No,No,No,ASHRAEClearSky,,,,,0.0;
SizingPeriod:DesignDay,Summer 1,7,21,SummerDesignDay,33.3,10.5,DefaultMultipliers,,Wetbulb,23.7,,,,,98934,5.2,230,
    No,No,No,ASHRAEClearSky,,,,,1.0;
ScheduleTypeLimits,Any Number;
Schedule:Constant,Always On,Any Number,1;
Schedule:Constant,Dual Control,Any Number,4;
Schedule:Constant,Heating Setpoint,Any Number,20;
Schedule:Constant,Cooling Setpoint,Any Number,24;
Material,Wall Layer,MediumRough,0.2,0.5,1400,1000,0.9,0.7,0.7;
Material,Roof Layer,MediumRough,0.15,0.3,1200,1000,0.9,0.7,0.7;
Material,Slab Layer,MediumRough,0.1,1.7,2200,900,0.9,0.7,0.7;
WindowMaterial:SimpleGlazingSystem,Glazing,2.0,0.4;
Construction,Wall,Wall Layer;
Construction,Roof,Roof Layer;
Construction,Slab,Slab Layer;
Construction,Window,Glazing;
Zone,Box Zone,0,0,0,0,1,1,autocalculate,autocalculate;
BuildingSurface:Detailed,South Wall,Wall,Wall,Box Zone,,Outdoors,,SunExposed,WindExposed,autocalculate,4,
    0,0,3, 0,0,0, 10,0,0, 10,0,3;
BuildingSurface:Detailed,East Wall,Wall,{east},Box Zone,,Outdoors,,SunExposed,WindExposed,autocalculate,4,
    10,0,3, 10,0,0, 10,8,0, 10,8,3;
BuildingSurface:Detailed,North Wall,Wall,Wall,Box Zone,,Outdoors,,SunExposed,WindExposed,autocalculate,4,
    10,8,3, 10,8,0, 0,8,0, 0,8,3;
BuildingSurface:Detailed,West Wall,Wall,Wall,Box Zone,,Outdoors,,SunExposed,WindExposed,autocalculate,4,
    0,8,3, 0,8,0, 0,0,0, 0,0,3;
BuildingSurface:Detailed,Roof,Roof,Roof,Box Zone,,Outdoors,,SunExposed,WindExposed,autocalculate,4,
    0,8,3, 0,0,3, 10,0,3, 10,8,3;
BuildingSurface:Detailed,Floor,Floor,Slab,Box Zone,,Ground,,NoSun,NoWind,autocalculate,4,
    0,0,0, 0,8,0, 10,8,0, 10,0,0;
FenestrationSurface:Detailed,South Window,Window,Window,South Wall,,autocalculate,,1,4,
    {x0},0,2.5, {x0},0,0.5, {x1},0,0.5, {x1},0,2.5;
"""

_IDEAL_LOADS = """ZoneControl:Thermostat,Box Thermostat,Box Zone,Dual Control,ThermostatSetpoint:DualSetpoint,Box Setpoints;
ThermostatSetpoint:DualSetpoint,Box Setpoints,Heating Setpoint,Cooling Setpoint;
ZoneHVAC:EquipmentConnections,Box Zone,Box Equipment,Box Supply Inlet,,Box Zone Air,Box Return;
ZoneHVAC:EquipmentList,Box Equipment,SequentialLoad,ZoneHVAC:IdealLoadsAirSystem,Box Ideal Loads,1,1,,;
ZoneHVAC:IdealLoadsAirSystem,Box Ideal Loads,,Box Supply Inlet,,,50,13,0.0156,0.0077,NoLimit,,,NoLimit,,,,,
    ConstantSensibleHeatRatio,0.7,None,,,None,NoEconomizer,None,0.7,0.65;
"""

_TEMPLATE = """HVACTemplate:Thermostat,Box Setpoints,Heating Setpoint,,Cooling Setpoint,;
HVACTemplate:Zone:IdealLoadsAirSystem,Box Zone,Box Setpoints;
"""

_OUTPUTS = """Output:Variable,*,Zone Mean Air Temperature,Hourly;
Output:Variable,*,Zone Ideal Loads Supply Air Total Heating Energy,Hourly;
Output:Variable,*,Site Outdoor Air Drybulb Temperature,Timestep;
Output:Meter,DistrictHeatingWater:Facility,Hourly;
Output:Meter,DistrictHeatingWater:Facility,Daily;
OutputControl:Table:Style,Comma;
Output:Table:SummaryReports,AllSummary;
"""


def box(window_width: float = 4.0, *, outputs: bool = True, east: str = "Wall") -> str:
    """The one-zone box with ideal loads; the window is centred in the south wall."""
    x0 = 5.0 - window_width / 2
    head = _HEAD.format(x0=f"{x0:g}", x1=f"{x0 + window_width:g}", east=east)
    return head + _IDEAL_LOADS + (_OUTPUTS if outputs else "")


BOX = box()
HVAC_TEMPLATE = _HEAD.format(x0="3", x1="7", east="Wall") + _TEMPLATE + _OUTPUTS
BROKEN = box(east="No Such Construction")


def five_zone(source_text: str) -> str:
    """A five-zone model (and its plenum) on the geometry of 5ZoneWaterLoopHeatPump.idf (version 8.0 text):
    its zones, surfaces and windows with the box's simple constructions, an ideal loads system in each
    occupied zone, the box's design days and outputs."""
    head = _HEAD.split("Zone,Box Zone", 1)[0].replace("Building,Box,", "Building,Five Zones,")
    _, zones, body = five_zone_parts(source_text, door="Window", shading=False)
    lines = [head, *body]
    for zone in zones:
        if zone.upper().startswith("PLENUM"):
            continue
        lines.append(_IDEAL_LOADS.replace("Box Zone", zone).replace("Box ", f"{zone} "))
    lines.append(_OUTPUTS)
    return "\n".join(lines)
