#pragma once
// The system entity every module has (command 3): address, router, heartbeat interval, LED, boot
// slot, version, model, serial number, save and reset, routing to the host, power and temperature
// readings, name, protocol features. Each operation is one exchange of EntityClass with the
// entity's index; results are those of EntityClass (the module's code for a refusal).
//
// Units are the module's own; signed readings (temperatures, unregulated voltage and current)
// travel as 32-bit two's complement. The power-behaviour configuration is an array of 32-bit
// words, big-endian on the wire like every entity-interface value.

#include <cstddef>
#include <cstdint>

#include "EntityClass.h"

namespace Quillmet::TessaLine {

inline constexpr uint8_t kSystemCommand = 3;

// Options of the system entity.
enum systemOption : uint8_t {
    systemModule = 1,
    systemRouter = 2,
    systemHBInterval = 3,
    systemLED = 4,
    systemBootSlot = 6,
    systemVersion = 7,
    systemModel = 8,
    systemSerialNumber = 9,
    systemSave = 10,
    systemReset = 11,
    systemInputVoltage = 12,
    systemModuleHardwareOffset = 13,
    systemModuleBaseAddress = 14,
    systemModuleSoftwareOffset = 15,
    systemRouterAddressSetting = 16,
    systemRouteToMe = 20,
    systemInputCurrent = 21,
    systemUptime = 22,
    systemMaximumTemperature = 23,
    systemLogEvents = 24,
    systemUnregulatedVoltage = 25,
    systemUnregulatedCurrent = 26,
    systemTemperature = 27,
    systemMinimumTemperature = 28,
    systemInputPowerSource = 29,
    systemInputPowerBehavior = 30,
    systemInputPowerBehaviorConfig = 31,
    systemName = 32,
    systemPowerLimit = 33,
    systemPowerLimitMax = 34,
    systemPowerLimitState = 35,
    systemResetEntityToFactoryDefaults = 36,
    systemResetDeviceToFactoryDefaults = 37,
    systemLinkInterface = 38,
    systemHardwareVersion = 40,
    systemErrors = 41,
    systemLEDMaxBrightness = 42,
    systemBuild = 43,
    systemProtocolFeatures = 45,
};

class SystemClass : public EntityClass {
  public:
    SystemClass() = default;
    ~SystemClass() override = default;

    // Binds the entity to `module` with command 3 and `index`.
    void init(Module* module, uint8_t index);

    aErr getModule(uint8_t* address);  // the module's current address
    aErr getRouter(uint8_t* address);
    aErr setRouter(uint8_t address);
    aErr getHBInterval(uint8_t* interval);
    aErr setHBInterval(uint8_t interval);
    aErr getLED(uint8_t* state);
    aErr setLED(uint8_t on);  // sends 1 for any non-zero argument
    aErr getBootSlot(uint8_t* slot);
    aErr setBootSlot(uint8_t slot);
    aErr getVersion(uint32_t* version);  // packed firmware version (aVersion.h)
    aErr getModel(uint8_t* model);
    aErr getSerialNumber(uint32_t* serialNumber);
    aErr save();
    aErr reset();
    aErr getInputVoltage(uint32_t* voltage);
    aErr getModuleHardwareOffset(uint8_t* offset);
    aErr getModuleBaseAddress(uint8_t* address);
    aErr getModuleSoftwareOffset(uint8_t* offset);
    aErr setModuleSoftwareOffset(uint8_t offset);
    aErr getRouterAddressSetting(uint8_t* setting);
    aErr routeToMe(uint8_t on);  // routes the module's network to the host (1) or not (0)
    aErr getInputCurrent(uint32_t* current);
    aErr getUptime(uint32_t* uptime);
    aErr getMaximumTemperature(int32_t* temperature);
    aErr logEvents();
    aErr getUnregulatedVoltage(int32_t* voltage);
    aErr getUnregulatedCurrent(int32_t* current);
    aErr getTemperature(int32_t* temperature);
    aErr getMinimumTemperature(int32_t* temperature);
    aErr getInputPowerSource(uint8_t* source);
    aErr getInputPowerBehavior(uint8_t* behavior);
    aErr setInputPowerBehavior(uint8_t behavior);
    // The configuration as 32-bit words: `capacity` and `*count` count words (the array travels
    // as 4 bytes per word). aErrMemory when the module sent a byte count that is not a multiple
    // of 4, or more words than `capacity` holds; otherwise as EntityClass::getUEIBytes.
    aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
    // Sends `count` words. aErrParam for null words with a count; aErrMemory when the bytes can't
    // be had.
    aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
    aErr getName(uint8_t* buffer, size_t capacity, size_t* count);
    aErr setName(const uint8_t* name, size_t length);
    aErr getPowerLimit(uint32_t* limit);
    aErr getPowerLimitMax(uint32_t* limit);
    aErr setPowerLimitMax(uint32_t limit);
    aErr getPowerLimitState(uint32_t* state);
    aErr resetEntityToFactoryDefaults();
    aErr resetDeviceToFactoryDefaults();
    aErr getLinkInterface(uint8_t* linkInterface);
    aErr setLinkInterface(uint8_t linkInterface);
    aErr getHardwareVersion(uint32_t* version);
    aErr getErrors(uint32_t* errors);
    aErr getLEDMaxBrightness(uint8_t* brightness);
    aErr setLEDMaxBrightness(uint8_t brightness);
    aErr getBuild(uint32_t* build);
    aErr getProtocolFeatures(uint32_t* features);

  private:
    aErr getSigned(uint8_t option, int32_t* value);
};

}  // namespace Quillmet::TessaLine
