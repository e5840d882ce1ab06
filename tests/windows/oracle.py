"""What archver must answer on a Windows of a given version, once: the
version code and the "/w" first line. The pytest tests under Wine and the
scripts that run on Windows itself (behaviour.py, recipes.py) predict by
it alike; the C++ unit tests keep a table of their own, which they test the
code against."""

# ProductType as the registry names it, lower case: workstation, domain
# controller, server.
PRODUCT_TYPES = {"winnt": 1, "lanmannt": 2, "servernt": 3}

# The "/w" first line by version, for a workstation and for a server.
LABELS = {(5, 0): ("W2K0", "W2K0"), (5, 1): ("WinXP", "WinXP"), (5, 2): ("WinXP x64Ed.", "WS2K3"),
          (6, 0): ("Vista", "WS2K8"), (6, 1): ("Win7", "WS2K8 R2"), (6, 2): ("Win8", "WS2K12"),
          (6, 3): ("Win8.1", "WS2K12 R2"), (10, 0): ("Win10", "WS2K16")}


def product_type(name):
    """The number of a ProductType name (WinNT, LanmanNT, ServerNT), 0 for
    any other."""
    return PRODUCT_TYPES.get(name.lower(), 0)


def version_code(major, minor, product):
    """What archver answers to /o, from the extended version record."""
    return 20000 + major * 100 + minor * 10 + product


def label(major, minor, product, csd):
    """The first line "/w" prints, without its two blanks."""
    if (major, minor) == (5, 1) and csd.lower() == "service pack 2":
        return "WinXP SP2"
    return LABELS.get((major, minor), ("WinOS cannot Detection ",) * 2)[product != 1]
