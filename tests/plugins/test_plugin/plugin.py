# The test plugin for the interpreter launch, run by the system's python3. QVN_PLUGIN_SETTINGS
# (JSON) chooses what it does, with the same names as the native test plugin:
#   "publish": N     write N "rt.publish" frame lines on stdout (seq 1..N), then read the replies
#   "replies": path  append every reply line read from stdin to this file
#   "env": path      write the environment it was given to this file, one entry per line
#   "exit": code     exit with that code after its work
import json
import os
import sys

settings = json.loads(os.environ.get("QVN_PLUGIN_SETTINGS") or "{}")
if "env" in settings:
    with open(settings["env"], "w") as out:
        out.writelines("%s=%s\n" % item for item in os.environ.items())
publish = settings.get("publish", 0)
for seq in range(1, publish + 1):
    line = {"type": "rt.publish",
            "payload": {"seq": seq, "frame": {"channels": [{"id": "speed", "values": [seq]}]}}}
    sys.stdout.write(json.dumps(line) + "\n")
    sys.stdout.flush()
replies = open(settings["replies"], "a") if "replies" in settings else None
for _ in range(publish):
    reply = sys.stdin.readline()
    if not reply:
        break
    if replies:
        replies.write(reply)
        replies.flush()
sys.exit(settings.get("exit", 0))
