"""The Windows versions the tests' Wine prefixes pose as more than once, and
what a pose reports, the version code by the oracle's rule."""
import oracle
from winehost import WIN10_BUILD, named_version, registry_version

# What Wine's named versions report where no registry says otherwise and a
# test asks: version, build, product type.
NAMED = {"win2k": ("5.0", "2195", "WinNT"), "winxp": ("5.1", "2600", "WinNT"),
         "win2003": ("5.2", "3790", "ServerNT"), "win81": ("6.3", "9600", "WinNT")}


def facts(setting):
    """(version, build, product type) of a pose (named_version or
    registry_version)."""
    name, registry = setting
    return (registry[0], registry[1], registry[4]) if registry else NAMED[name]


def code_of(setting):
    """The version code archver answers to /o there."""
    version, _, product = facts(setting)
    major, minor = (int(n) for n in version.split("."))
    return oracle.version_code(major, minor, oracle.product_type(product))


# Wine 8's named win7 and win2008r2 report each other's product type, so
# these two come through the registry. Wine 8 has no named Windows 11:
# reading the registry, Wine reports the CurrentVersion that Windows 10 and
# later keep at 6.3, so those pose with 10.0 there; Windows 10 itself has the
# registry as Windows keeps it, under Wine's own setting, with its build.
WINDOWS_7_SP1 = registry_version("6.1", "7601", service_pack=1)
SERVER_2008_R2_SP1_DC = registry_version("6.1", "7601", "LanmanNT", service_pack=1)
WINDOWS_XP_SP3 = named_version("winxp")
SERVER_2003_SP2 = named_version("win2003")
WINDOWS_10 = named_version("win10", registry_version("10.0", WIN10_BUILD, current="6.3"))
WINDOWS_11 = registry_version("10.0", "22631")
SERVER_2025 = registry_version("10.0", "26100", "ServerNT")
