# Reads the control panel through AT-SPI as a screen reader would: finds the
# program, selects the Output Levels tab and lists the accessible names of its
# sliders and step buttons. Exits 0 when the eight trims are named as expected.
import sys
import time

import pyatspi

WANTED = {
    "Front left trim", "Front right trim", "Side left trim", "Side right trim",
    "Rear left trim", "Rear right trim", "Center trim", "Subwoofer trim",
}
LIMIT_S = 60


def until(what, find):
    end = time.monotonic() + LIMIT_S
    while time.monotonic() < end:
        try:
            found = find()
        except Exception:  # the tree changes under us while the program starts
            found = None
        if found:
            return found
        time.sleep(0.25)
    sys.exit(f"AT-SPI: {what} not found within {LIMIT_S} s")


def application():
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and "brennmark" in (app.name or "").lower():
            return app
    return None


def showing(acc):
    return acc.getState().contains(pyatspi.STATE_SHOWING)


def main():
    app = until("the brennmark application", application)
    tab = until("the Output Levels tab", lambda: pyatspi.findDescendant(
        app, lambda a: a.getRole() == pyatspi.ROLE_PAGE_TAB and a.name == "Output Levels"))
    # The tab list's selection where the toolkit offers one, else the tab's
    # own action, as a screen reader's user would switch pages.
    try:
        tab.parent.querySelection().selectChild(tab.getIndexInParent())
    except NotImplementedError:
        tab.queryAction().doAction(0)

    def sliders():
        found = pyatspi.findAllDescendants(
            app, lambda a: a.getRole() == pyatspi.ROLE_SLIDER and showing(a))
        names = {s.name for s in found}
        return names if WANTED <= names else None

    names = until("the eight trims' sliders", sliders)
    buttons = pyatspi.findAllDescendants(
        app, lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and showing(a) and a.name.endswith("trim up one step"))
    print("sliders:", ", ".join(sorted(names)))
    print("step buttons:", len(buttons))
    if len(buttons) != 8:
        sys.exit(f"expected 8 named '+' buttons, found {len(buttons)}")


main()
