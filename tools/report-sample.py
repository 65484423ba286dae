#!/usr/bin/env python3
"""Writes a holm-fleet report page (report.html) filled with made-up data.

A developer's tool: it fills src/fleet/report.html as holm-fleet does (the
marker line's placeholder replaced by the JSON, with <, > and & inside the
JSON written as \\u003c, \\u003e, \\u0026), from a simulated run of the given
size and mix, so the page can be looked at, tested and timed without a
fleet. The end-to-end tests and bench/report.py import it.

    tools/report-sample.py -n 50 --failed 10 -o /tmp/report.html
    tools/report-sample.py -n 10000 --canary 2 --waves 4 --stop brake -o big.html
    tools/report-sample.py --hostile --state running -o hostile.html
    tools/report-sample.py --fix-csp     # after editing the page's script

The page's Content-Security-Policy lets only its own script run, named by
its SHA-256: --fix-csp writes the hash of the script as it stands.
"""
import argparse
import base64
import hashlib
import json
import os
import random
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TEMPLATE = os.path.join(HERE, "..", "src", "fleet", "report.html")
MARKER_LINE = '<script type="application/json" id="holm-data">/*HOLM-REPORT-DATA*/</script>'
PLACEHOLDER = "/*HOLM-REPORT-DATA*/"
SCRIPT = re.compile(r"<script>(.*?)</script>", re.S)
CSP_HASH = re.compile(r"script-src 'sha256-[^']*'")

RESULTS = ("ok", "current", "to deliver", "incompatible", "failed", "running", "not started")

# Text a printer might send back, written to break out of wherever it is shown.
HOSTILE = (
    "<script>window.holmPwned = 1</script>",
    "\"><img src=x onerror=\"window.holmPwned = 2\">",
    "</script><script>window.holmPwned = 3</script>",
    "' onmouseover='window.holmPwned = 4' x='",
    "<svg onload=\"window.holmPwned = 5\"></svg><!--",
    "&lt;b&gt;not bold&lt;/b&gt; &amp; <b>nor this</b>",
    "\u202eright-to-left override ]]> ${1+1} {{7*7}}",
)

FAILURES = (  # (message, weight): a few common causes and a long tail
    ("Destination not alive", 8),
    ("Could not enter download mode.", 3),
    ("Could not open print socket", 2),
    ("Did not get telnet password prompt", 1),
    ("Could not send data to print socket", 1),
    ("no firmware version before the delivery: no IPP answer "
     "(Unable to connect to \"{address}\" on port 631 - Host is down)", 2),
    ("still 1.0 after the delivery", 2),
    ("exit status 3", 1),
)
MODELS = ("HOLM LaserJet 5100", "HOLM LaserJet 5200", "HOLM Office 3")


def address(i):
    return f"198.18.{1 + i // 250}.{1 + i % 250}"


def output_for(result, message, rng):
    lines = ["Destination alive", "Entering download mode"]
    if result == "failed" and message.startswith("Destination"):
        return "\nError: " + message + "\n"
    if result in ("ok", "running", "failed"):
        lines.append(f"Sending fw-update.bin: {rng.randrange(30_000_000, 60_000_000)} bytes")
        lines.append("Waiting for the printer to restart")
    if result == "ok":
        lines.append(f"Printer is running ({rng.randrange(40, 120)} s)")
    elif result == "failed":
        lines.append("Error: " + message)
    return "\n".join(lines[-5:])[-400:]


def pick_results(count, mix, rng):
    """count results drawn from mix ({result: weight}), in a shuffled list order."""
    total = sum(mix.values())
    results = []
    for result, weight in mix.items():
        results += [result] * round(count * weight / total)
    results = (results + ["ok"] * count)[:count]
    rng.shuffle(results)
    return results


def plan_waves(count, canary, waves):
    """[(number, label, first, last)] over the list; [] for a run without waves."""
    if not canary and waves <= 1:
        return []
    out, first, number = [], 0, 1
    if canary:
        out.append((1, "canary", 0, min(canary, count) - 1))
        first, number = min(canary, count), 2
    rest = count - first
    parts = max(1, waves)
    for k in range(parts):
        last = first + (rest * (k + 1)) // parts - (rest * k) // parts - 1
        if last >= first:
            out.append((number, f"wave {number - (1 if canary else 0)}", first, last))
            number += 1
        first = last + 1
    return out


def duration(result, rng):
    if result in ("current", "to deliver", "incompatible"):
        return rng.uniform(0.4, 2.5)
    if result == "failed":
        return rng.uniform(3, 60)
    return rng.uniform(45, 140)


def schedule(results, waves, jobs, start, stop_index, rng):
    """Start and end times of the printers that start ({index: (start, end)}),
    and each wave's start: printers start in list order, `jobs` at a time,
    each wave once the last one ended; none from stop_index on."""
    times, wave_starts, clock = {}, {}, start
    for number, _label, first, last in waves or [(0, "", 0, len(results) - 1)]:
        if first >= stop_index:
            break
        slots = [clock] * jobs
        wave_starts[number] = clock
        for i in range(first, min(last + 1, stop_index)):
            slot = min(range(jobs), key=slots.__getitem__)
            begun = slots[slot] + rng.uniform(0.05, 0.4)
            times[i] = (begun, begun + duration(results[i], rng))
            slots[slot] = times[i][1]
        clock = max(slots) + 1.5
    return times, wave_starts


def make_data(printers=50, state="ended", failed=8.0, hostile=False, canary=0, waves=0,
              stop=None, firmware=None, plan=False, models=False, jobs=32, seed=1, start=None):
    """The report's JSON document (a dict) for a made-up run."""
    rng = random.Random(seed)
    start = time.time() - 3600 if start is None else start
    mix = {"ok": 100 - failed, "failed": failed}
    if firmware or plan:
        mix["current"] = 20.0
    if plan:
        mix["to deliver"] = mix.pop("ok")
    if models:
        mix["incompatible"] = 2.0
    results = pick_results(printers, mix, rng)
    wave_plan = plan_waves(printers, canary, waves)
    messages, message_index = [], {}

    def message_of(i, result):
        if result == "failed":
            text = rng.choices([m for m, _ in FAILURES], [w for _, w in FAILURES])[0]
            if hostile and rng.random() < 0.5:
                text = HOSTILE[i % len(HOSTILE)]
            text = text.replace("{address}", address(i))
        elif result == "incompatible":
            text = "model HOLM Office 3 is not among the bundle's models"
        else:
            return -1
        if text not in message_index:
            message_index[text] = len(messages)
            messages.append(text)
        return message_index[text]

    stop_index = printers
    if stop in ("canary", "wave") and wave_plan:
        stop_index = wave_plan[0][3] + 1
        results[0] = "failed"
    elif stop:
        stop_index = max(1, int(printers * 0.6))
    times, wave_starts = schedule(results, wave_plan, jobs, start, stop_index, rng)
    ended = max((e for _, e in times.values()), default=start) + 0.8
    # A running run is seen part way: at the cut, when its page was written.
    cut = (start + (ended - start) * 0.55) if state == "running" else None
    written = cut if cut is not None else ended + 0.1

    rows = []
    for i in range(printers):
        result = results[i] if i in times else "not started"
        begun, finish = times.get(i, (None, None))
        if cut is not None and begun is not None and begun > cut:
            result, begun, finish = "not started", None, None
        elif cut is not None and finish is not None and finish > cut:
            result, finish = "running", None
        wave = next((number for number, _l, first, last in wave_plan if first <= i <= last), 0)
        message = message_of(i, result)
        before, after = "", ""
        if (firmware or plan) and result != "not started":
            before = "2.0" if result == "current" else "1.0"
            after = "" if plan or result in ("running", "incompatible") else ("2.0" if result in ("ok", "current") else "1.0")
        seconds = round(finish - begun, 3) if begun is not None and finish is not None else None
        model = MODELS[i % len(MODELS)] if result != "not started" else ""
        output = output_for(result, messages[message] if message >= 0 else "", rng) if begun is not None else ""
        addr = address(i)
        if hostile and i % 17 == 5:
            addr, model, before = HOSTILE[i % len(HOSTILE)].replace(" ", ""), HOSTILE[(i + 1) % len(HOSTILE)], "<i>1.0</i>"
            output = HOSTILE[(i + 2) % len(HOSTILE)] + "\n\x1b[31mred\x1b[0m\r\n" + output
        rows.append([addr, result, message, before, after, seconds,
                     _ms(begun), _ms(finish), wave, model, output])

    if cut is not None:
        _forget_later_waves(wave_starts, cut)
    stop_time = None
    if stop and state == "ended" and times:
        # After a wave the stop comes at its end; a brake or a window while printers still run.
        last_start = max(b for b, _ in times.values())
        stop_time = max(e for _, e in times.values()) if stop in ("canary", "wave") else last_start + 0.2
    data = {
        "format": 1,
        "run": {
            "state": state,
            "bundle": "fw-update.exe" if not hostile else "fw-<b>update</b>.exe",
            "sha256": hashlib.sha256(str(seed).encode()).hexdigest(),
            "key": "site.pub" if not hostile else "\"><script>window.holmPwned = 9</script>",
            "firmware": firmware,
            "models": ["HOLM LaserJet 5*"] if models else [],
            "options": _options(jobs, canary, stop, firmware, plan, hostile),
            "plan": plan, "retry": False,
            "started": _ms(start), "ended": _ms(ended) if state == "ended" else None,
            "written": _ms(written),
            "control": "ctl1.example.lan" if not hostile else "ctl<i>1</i>",
            "dir": "/home/admin/run1",
            "printers": printers,
            "stop": _stop(stop, stop_time, printers, hostile) if stop_time else None,
            "waves": [{"number": number, "label": label, "size": last - first + 1,
                       "started": _ms(wave_starts.get(number))}
                      for number, label, first, last in wave_plan],
            "window": _window(start, stop_time) if stop == "window" else None,
        },
        "messages": messages,
        "printers": rows,
    }
    # A live run's page was written a moment ago.
    return shift(data, time.time() - written) if state == "running" else data


def _forget_later_waves(wave_starts, written):
    for number, begun in list(wave_starts.items()):
        if begun > written:
            wave_starts[number] = None


def shift(data, seconds):
    """The same run, every time in it moved by seconds."""
    run = data["run"]
    for key in ("started", "ended", "written"):
        if run[key] is not None:
            run[key] = _ms(run[key] + seconds)
    for wave in run["waves"]:
        if wave["started"] is not None:
            wave["started"] = _ms(wave["started"] + seconds)
    for thing in (run["stop"], run["window"]):
        for key in ("at", "opens", "closes"):
            if thing and thing.get(key) is not None:
                thing[key] = _ms(thing[key] + seconds)
    for row in data["printers"]:
        for k in (6, 7):
            if row[k] is not None:
                row[k] = _ms(row[k] + seconds)
    return data


def _ms(t):
    return None if t is None else round(t, 3)


def _options(jobs, canary, stop, firmware, plan, hostile):
    words = [f"-j {jobs}"]
    if canary:
        words.append(f"--canary {canary}")
    if stop == "brake":
        words.append("--max-failed 10%")
    if firmware:
        words.append(f"--firmware {firmware}")
    if plan:
        words.append("--plan")
    if hostile:
        words.append("--x '<script>window.holmPwned = 8</script>'")
    return " ".join(words)


def _stop(reason, at, count, hostile):
    texts = {
        "brake": f"Stopped by --max-failed 10%: {count // 20} of {count // 3} finished printers failed",
        "canary": "Stopped after the canary: 1 of the canary printers failed",
        "wave": "Stopped after wave 1: a printer of the wave failed",
        "window": "Stopped: the window 22:00-04:00 closed",
        "interrupted": "Interrupted (SIGINT)",
    }
    text = texts.get(reason, reason)
    if hostile:
        text += " <img src=x onerror=\"window.holmPwned = 7\">"
    return {"reason": reason, "at": _ms(at), "text": text}


def _window(start, closes):
    return {"text": "22:00-04:00", "opens": _ms(start - 60), "closes": _ms(closes)}


def to_json(data):
    """The JSON text as holm-fleet writes it: nothing in it can end a script element."""
    text = json.dumps(data, ensure_ascii=False, separators=(",", ":"))
    # < > & appear only inside strings, so replacing them everywhere escapes exactly those.
    return text.replace("&", "\\u0026").replace("<", "\\u003c").replace(">", "\\u003e")


def fill(template, data):
    """The page: the template with its marker's placeholder replaced by the data."""
    if template.count(MARKER_LINE) != 1 or template.count(PLACEHOLDER) != 1:
        raise ValueError("the template must hold the marker line exactly once")
    return template.replace(PLACEHOLDER, to_json(data))


def read_template(path=TEMPLATE):
    with open(path, encoding="utf-8") as f:
        return f.read()


def write_report(path, data, template=None):
    text = fill(read_template() if template is None else template, data)
    with open(path + ".new", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".new", path)
    return path


def script_hash(template):
    """The CSP source naming the page's own script ('sha256-...')."""
    scripts = SCRIPT.findall(template)
    if len(scripts) != 1:
        raise ValueError(f"expected one plain <script> element, found {len(scripts)}")
    digest = hashlib.sha256(scripts[0].encode("utf-8")).digest()
    return "'sha256-" + base64.b64encode(digest).decode() + "'"


def fix_csp(path=TEMPLATE):
    template = read_template(path)
    fixed, count = CSP_HASH.subn("script-src " + script_hash(template), template)
    if count != 1:
        raise ValueError("the template must name its script in one script-src")
    if fixed != template:
        with open(path, "w", encoding="utf-8") as f:
            f.write(fixed)
    return fixed != template


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", "--printers", type=int, default=50)
    parser.add_argument("--state", choices=("running", "ended"), default="ended")
    parser.add_argument("--failed", type=float, default=8.0, help="share of failed printers, in percent")
    parser.add_argument("--hostile", action="store_true", help="messages, output and names that try to inject markup")
    parser.add_argument("--canary", type=int, default=0)
    parser.add_argument("--waves", type=int, default=0, help="waves after the canary")
    parser.add_argument("--stop", choices=("canary", "wave", "brake", "window", "interrupted"))
    parser.add_argument("--firmware", help="a firmware target, such as main=2.0")
    parser.add_argument("--plan", action="store_true")
    parser.add_argument("--models", action="store_true", help="the bundle names models: some are incompatible")
    parser.add_argument("-j", "--jobs", type=int, default=32)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--template", default=TEMPLATE)
    parser.add_argument("-o", "--output", default="report.html")
    parser.add_argument("--fix-csp", action="store_true", help="write the script's hash into the template, and stop")
    args = parser.parse_args()
    if args.fix_csp:
        print("updated" if fix_csp(args.template) else "already right", args.template)
        return 0
    data = make_data(args.printers, args.state, args.failed, args.hostile, args.canary, args.waves,
                     args.stop, args.firmware, args.plan, args.models, args.jobs, args.seed)
    write_report(args.output, data, read_template(args.template))
    print(f"{args.output}: {os.path.getsize(args.output)} bytes, {args.printers} printers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
