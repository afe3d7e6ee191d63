# Recipes for the voice-application fixtures of this folder, sourced by
# ../record.sh. No Debian program speaks these protocols, so the capture is
# written from their byte layouts; no namespace or traffic is involved.
RECIPES+=(voice_apps/voice_apps)

record_voice_apps() {
  mkdir -p "$OUT/$CAPTURE_DIR"
  /usr/bin/python3 "$HERE/voice_apps/make_fixtures.py" "$OUT/$CAPTURE_DIR/voice_apps.pcap"
  echo "record: $CAPTURE_DIR/voice_apps.pcap $(stat -c %s "$OUT/$CAPTURE_DIR/voice_apps.pcap") bytes"
}
