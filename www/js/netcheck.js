// Checks of network settings before they go to the instrument.

// The 32-bit value of a dotted IPv4 address, or null.
export function parseIPv4(text) {
  const m = /^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/.exec(text);
  if (!m) return null;
  let v = 0;
  for (let k = 1; k <= 4; k++) {
    const o = Number(m[k]);
    if (o > 255 || (m[k].length > 1 && m[k][0] === '0')) return null;
    v = v * 256 + o;
  }
  return v;
}

// Reasons why {dhcp, ip, netmask, gateway} cannot be used; empty when they can.
export function networkErrors({ dhcp, ip, netmask, gateway }) {
  if (dhcp) return [];
  const errors = [];
  const a = parseIPv4(ip), m = parseIPv4(netmask);
  const g = gateway === '' ? null : parseIPv4(gateway);
  if (a === null) errors.push(`address "${ip}" is not a dotted IPv4 address`);
  if (m === null) errors.push(`netmask "${netmask}" is not a dotted IPv4 address`);
  else {
    const inv = (0xFFFFFFFF - m) >>> 0;
    if (m === 0 || (inv & (inv + 1)) !== 0) errors.push(`netmask ${netmask} is not a run of ones followed by zeros`);
  }
  if (gateway !== '' && g === null) errors.push(`gateway "${gateway}" is not a dotted IPv4 address`);
  if (a !== null && m !== null && !errors.length) {
    const net = Number((BigInt(a) & BigInt(m))), bcast = net + (0xFFFFFFFF - m);
    const first = a >>> 24;
    if (first === 0 || first === 127 || first >= 224) errors.push(`address ${ip} cannot be an instrument's address`);
    else if (m !== 0xFFFFFFFF && m !== 0xFFFFFFFE && (a === net || a === bcast)) {
      errors.push(`address ${ip} is the ${a === net ? 'network' : 'broadcast'} address of its subnet`);
    }
    if (g !== null && Number(BigInt(g) & BigInt(m)) !== net) errors.push(`gateway ${gateway} is outside the subnet of ${ip}/${netmask}`);
    if (g !== null && g === a) errors.push('gateway and address are the same');
  }
  return errors;
}

// A host name the instrument can carry: letters, digits and hyphens, 1 to 63 characters, not
// beginning or ending with a hyphen.
export function hostnameError(name) {
  if (!/^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$/.test(name)) {
    return 'a hostname is 1 to 63 letters, digits or hyphens, not beginning or ending with a hyphen';
  }
  return '';
}
