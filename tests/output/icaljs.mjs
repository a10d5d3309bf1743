// Reads a vCard 3.0 or 4.0 file of the converter with ical.js, the parser Thunderbird uses, and
// prints each card in the form the other readers of the tests give (see importers.py, card_of).
//
//   node icaljs.mjs NODE_MODULES FILE
//
// NODE_MODULES is the folder that install-icaljs.sh filled. Exits non-zero when the file does
// not parse.
import { readFileSync } from "node:fs";
import { pathToFileURL } from "node:url";
import path from "node:path";

const [modules, file] = process.argv.slice(2);
const ICAL = (await import(pathToFileURL(path.join(modules, "ical.js", "dist", "ical.js")).href)).default;

const TEXT = new Set(["uid", "fn", "nickname", "title", "role", "note", "gender", "x-ms-assistant", "x-ms-manager",
    "x-ms-spouse", "fburl", "sort-string"]);
const LISTS = new Set(["email", "tel", "url"]);

// "1999-12-31" of a date value, whatever form ical.js gives it.
function isoDate(value) {
    const text = typeof value === "string" ? value : value.toString();
    const m = /^(\d{4})-?(\d{2})-?(\d{2})/.exec(text);
    return m ? `${m[1]}-${m[2]}-${m[3]}` : text;
}

function photoHex(text, property) {
    let data = text;
    if (text.startsWith("data:")) {
        const comma = text.indexOf(",");
        if (!text.slice(0, comma).endsWith(";base64")) throw new Error("not a base64 data URI");
        data = text.slice(comma + 1);
    } else if ((property.getParameter("encoding") || "").toLowerCase() !== "b") {
        throw new Error("a photo neither inline nor a data URI");
    }
    if (!/^[A-Za-z0-9+/]*={0,2}$/.test(data)) throw new Error("bad base64 in PHOTO");
    return Buffer.from(data, "base64").toString("hex");
}

// ical.js 2.2.1 keeps the "\\;" of a vCard 3.0 text value as it stands (RFC 2426 escapes ';' in
// every text); the tests take it for the ';' it stands for.
function cardOf(component) {
    const v3 = component.getFirstPropertyValue("version") === "3.0";
    const text = (value) => (v3 ? String(value).replace(/\\;/g, ";") : String(value));
    // ical.js keeps the value of a property it does not know (X-...) as it stands, escapes and all.
    const unescape = (value) =>
        String(value).replace(/\\([\\,;nN])/g, (_, c) => (c === "n" || c === "N" ? "\n" : c));
    const card = { EMAIL: [], TEL: [], URL: [], ADR: [] };
    for (const property of component.getAllProperties()) {
        const name = property.name;
        const values = property.getValues();
        const first = values[0];
        const NAME = name.toUpperCase();
        if (name === "version" || name === "prodid") continue;
        if (TEXT.has(name)) card[NAME] = name.startsWith("x-") ? unescape(first) : text(first);
        else if (LISTS.has(name)) card[NAME].push(text(first));
        else if (name === "n" || name === "adr") {
            const parts = Array.isArray(first) ? first : [first];
            const flat = parts.map((p) => (Array.isArray(p) ? p.join(",") : String(p)));
            if (name === "adr") card.ADR.push(flat);
            else card.N = flat;
            // SORT-AS, its values joined by ',' as the other readers give it.
            const sortAs = property.getParameter("sort-as");
            if (name === "n" && sortAs !== undefined && sortAs !== null) {
                card["SORT-AS"] = Array.isArray(sortAs) ? sortAs.join(",") : String(sortAs);
            }
        } else if (name === "org") {
            card.ORG = (Array.isArray(first) ? first : values).map(String);
        } else if (name === "categories") {
            card.CATEGORIES = values.map(text);
        } else if (name === "bday") card.BDAY = isoDate(first);
        else if (name === "anniversary" || name === "x-anniversary") card.ANNIVERSARY = isoDate(first);
        else if (name === "photo") card.PHOTO = photoHex(String(first), property);
        else if (name === "kind" || name === "x-addressbookserver-kind") card.KIND = String(first);
        else if (name === "member" || name === "x-addressbookserver-member") (card.MEMBER ??= []).push(String(first));
    }
    return card;
}

const text = readFileSync(file, "utf8");
const parsed = ICAL.parse(text);
// One card parses to one jCard, several to a list of them.
const jcards = typeof parsed[0] === "string" ? [parsed] : parsed;
const cards = jcards.map((j) => cardOf(new ICAL.Component(j)));
process.stdout.write(JSON.stringify(cards));
